#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>

#include "Platform/Posix/EnvironmentPreferredLanguages.h"

namespace dravik::platform {
namespace {

EnvironmentPreferredLanguages fromVariables(std::map<std::string, std::string> variables) {
  return EnvironmentPreferredLanguages(
      [variables = std::move(variables)](const char* name) -> std::optional<std::string> {
        auto found = variables.find(name);
        if (found == variables.end()) return std::nullopt;
        return found->second;
      });
}

TEST(EnvironmentPreferredLanguagesTest, LanguageTag) {
  const std::pair<std::string, std::string> cases[] = {
      {"zh_CN.UTF-8", "zh-CN"},
      {"en_GB", "en-GB"},
      {"sr_RS@latin", "sr-RS"},
      {"de_DE.UTF-8@euro", "de-DE"},
      {"fr", "fr"},
      {"zh-Hant-TW", "zh-Hant-TW"},
      {"C", "en"},
      {"C.UTF-8", "en"},
      {"POSIX", "en"},
      {"", ""},
      {".UTF-8", ""},
      {"@euro", ""},
  };
  for (const auto& [name, tag] : cases) {
    EXPECT_EQ(EnvironmentPreferredLanguages::languageTag(name), tag) << name;
  }
}

TEST(EnvironmentPreferredLanguagesTest, VariablesInOrder) {
  struct Case {
    std::map<std::string, std::string> variables;
    std::vector<std::string> languages;
  };
  const Case cases[] = {
      {{}, {}},
      {{{"LANG", "zh_CN.UTF-8"}}, {"zh-CN"}},
      {{{"LANG", "zh_CN.UTF-8"}, {"LC_MESSAGES", "en_US.UTF-8"}}, {"en-US", "zh-CN"}},
      {{{"LANG", "zh_CN.UTF-8"}, {"LC_ALL", "C"}}, {"en", "zh-CN"}},
      {{{"LANGUAGE", "zh_TW:en_GB:zh_TW"}, {"LANG", "en_GB.UTF-8"}}, {"zh-TW", "en-GB"}},
      {{{"LANGUAGE", "::fr::"}, {"LC_ALL", ""}, {"LANG", "de_DE"}}, {"fr", "de-DE"}},
      {{{"LANGUAGE", ""}, {"LC_MESSAGES", "ja_JP.eucJP"}}, {"ja-JP"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fromVariables(c.variables).languages(), c.languages);
  }
}

TEST(EnvironmentPreferredLanguagesTest, ReadsTheProcessEnvironmentAtEveryCall) {
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) unsetenv(name);
  setenv("LANG", "zh_CN.UTF-8", 1);
  EnvironmentPreferredLanguages languages;
  EXPECT_EQ(languages.languages(), std::vector<std::string>{"zh-CN"});
  setenv("LANG", "en_GB.UTF-8", 1);
  EXPECT_EQ(languages.languages(), std::vector<std::string>{"en-GB"});
  unsetenv("LANG");
  EXPECT_TRUE(languages.languages().empty());
}

}  // namespace
}  // namespace dravik::platform
