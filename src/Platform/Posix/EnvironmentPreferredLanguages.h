#pragma once
// Preferred languages from the locale environment: LANGUAGE (a colon-separated list), then
// LC_ALL, LC_MESSAGES and LANG, in that order. Each entry is turned into a language tag
// ("zh_CN.UTF-8" → "zh-CN"); "C" and "POSIX" stand for untranslated messages and give "en".
// Unset and empty variables are skipped, and a tag already listed is not repeated.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/PreferredLanguages.h"

namespace dravik::platform {

class EnvironmentPreferredLanguages : public PreferredLanguages {
 public:
  // Reads a variable; absent when it is not set.
  using Lookup = std::function<std::optional<std::string>(const char* name)>;

  // Reads the process environment.
  EnvironmentPreferredLanguages();
  // Reads through `lookup`, so tests need not change the process environment.
  explicit EnvironmentPreferredLanguages(Lookup lookup);

  std::vector<std::string> languages() const override;

  // "zh_CN.UTF-8" → "zh-CN", "sr_RS@latin" → "sr-RS", "C" → "en"; empty when nothing is left.
  static std::string languageTag(std::string_view localeName);

 private:
  Lookup lookup_;
};

}  // namespace dravik::platform
