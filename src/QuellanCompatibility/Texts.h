#pragma once
// The companion app's one door to the translated texts. Every text the app shows passes
// through translate(); nothing else in the app knows how texts are translated.

#include <string>

#include "DravikCore/Localization.h"

namespace quellan {

using AppLanguage = dravik::AppLanguage;

// `chinese` as shown in `language` ("system" follows the user's preferred languages):
// the Chinese key itself in Chinese; its English form in English, or the key unchanged
// when the table has none.
std::string translate(const std::string& chinese, AppLanguage language);

}  // namespace quellan
