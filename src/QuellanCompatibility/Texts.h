#pragma once
// The companion app's one door to the translated texts. Every text the app shows passes
// through translate(); nothing else in the app knows how texts are translated.
//
// Until the core library's AppLanguage and AppText are linked in, this file carries a
// stand-in with the same names and the handful of English texts the app shows. Once they
// are, the whole body becomes:
//   using AppLanguage = dravik::AppLanguage;
//   inline std::string translate(const std::string& chinese, AppLanguage language) {
//     return dravik::AppText(language)(chinese);
//   }

#include <string>

namespace quellan {

// The language choice: follow the system, or one of the two languages.
enum class AppLanguage { system, simplifiedChinese, english };

// `chinese` as shown in `language`: the Chinese key itself in Chinese; its English form in
// English, or the key unchanged when there is none.
std::string translate(const std::string& chinese, AppLanguage language);

}  // namespace quellan
