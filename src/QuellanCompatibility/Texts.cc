#include "QuellanCompatibility/Texts.h"

#include "Platform/Posix/EnvironmentPreferredLanguages.h"

namespace quellan {

std::string translate(const std::string& chinese, AppLanguage language) {
  static const dravik::platform::EnvironmentPreferredLanguages preferred;
  return dravik::AppText(language, preferred)(chinese);
}

}  // namespace quellan
