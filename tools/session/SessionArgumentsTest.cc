#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SessionArguments.h"

namespace dravik {
namespace {

TEST(SessionArgumentsTest, Accepted) {
  struct Case {
    std::vector<std::string> arguments;
    SessionCommand command;
    AppLanguage language;
    std::int64_t minutes;
    std::optional<std::uint64_t> renewals;
    bool quietRenewals;
  } cases[] = {
      {{"status"}, SessionCommand::status, AppLanguage::system, 0, std::nullopt, false},
      {{"--language", "zh-Hans", "status"},
       SessionCommand::status,
       AppLanguage::simplifiedChinese,
       0,
       std::nullopt,
       false},
      {{"status", "--language=en"},
       SessionCommand::status,
       AppLanguage::english,
       0,
       std::nullopt,
       false},
      {{"begin"}, SessionCommand::begin, AppLanguage::system, 0, std::nullopt, false},
      {{"begin", "--minutes", "120"},
       SessionCommand::begin,
       AppLanguage::system,
       120,
       std::nullopt,
       false},
      // Minutes go to the daemon unchanged; it decides what it accepts.
      {{"begin", "--minutes=-5"},
       SessionCommand::begin,
       AppLanguage::system,
       -5,
       std::nullopt,
       false},
      {{"--renewals", "3", "--quiet-renewals", "begin", "--language", "system"},
       SessionCommand::begin,
       AppLanguage::system,
       0,
       3,
       true},
      {{"begin", "--renewals=0"}, SessionCommand::begin, AppLanguage::system, 0, 0, false},
      {{"end"}, SessionCommand::end, AppLanguage::system, 0, std::nullopt, false},
      {{"remove", "--language", "en"},
       SessionCommand::remove,
       AppLanguage::english,
       0,
       std::nullopt,
       false},
      {{"help"}, SessionCommand::help, AppLanguage::system, 0, std::nullopt, false},
      {{"--help"}, SessionCommand::help, AppLanguage::system, 0, std::nullopt, false},
      {{"status", "-h"}, SessionCommand::help, AppLanguage::system, 0, std::nullopt, false},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.arguments) joined += a + " ";
    auto parsed = parseSessionArguments(c.arguments);
    ASSERT_TRUE(parsed.arguments) << joined << ": " << parsed.error;
    EXPECT_EQ(parsed.arguments->command, c.command) << joined;
    EXPECT_EQ(parsed.arguments->language, c.language) << joined;
    EXPECT_EQ(parsed.arguments->begin.minutes, c.minutes) << joined;
    EXPECT_EQ(parsed.arguments->begin.renewals, c.renewals) << joined;
    EXPECT_EQ(parsed.arguments->begin.quietRenewals, c.quietRenewals) << joined;
  }
}

TEST(SessionArgumentsTest, Refused) {
  struct Case {
    std::vector<std::string> arguments;
    std::string error;
  } cases[] = {
      {{}, "no command given"},
      {{"--language", "en"}, "no command given"},
      {{"sleep"}, "unknown command 'sleep'"},
      {{"status", "end"}, "only one command at a time"},
      {{"status", "--verbose"}, "unknown option '--verbose'"},
      {{"status", "-v"}, "unknown option '-v'"},
      {{"status", "--language"}, "--language needs a value: system, zh-Hans or en"},
      {{"status", "--language", "fr"}, "unknown language 'fr': use system, zh-Hans or en"},
      {{"status", "--language=zh-Hant"}, "unknown language 'zh-Hant': use system, zh-Hans or en"},
      {{"begin", "--minutes"}, "--minutes needs a whole number of minutes"},
      {{"begin", "--minutes", "1.5"}, "--minutes needs a whole number of minutes"},
      {{"begin", "--minutes", "ten"}, "--minutes needs a whole number of minutes"},
      {{"begin", "--minutes="}, "--minutes needs a whole number of minutes"},
      {{"begin", "--minutes", "99999999999999999999"}, "--minutes needs a whole number of minutes"},
      {{"begin", "--renewals", "-1"}, "--renewals needs a number of renewals (0 or more)"},
      {{"begin", "--quiet-renewals=yes"}, "--quiet-renewals takes no value"},
      {{"status", "--minutes", "30"},
       "--minutes, --renewals and --quiet-renewals belong to 'begin'"},
      {{"end", "--quiet-renewals"}, "--minutes, --renewals and --quiet-renewals belong to 'begin'"},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.arguments) joined += a + " ";
    auto parsed = parseSessionArguments(c.arguments);
    EXPECT_FALSE(parsed.arguments) << joined;
    EXPECT_EQ(parsed.error, c.error) << joined;
  }
}

TEST(SessionArgumentsTest, UsageNamesEveryCommandAndOption) {
  std::string usage(sessionUsage());
  for (const char* word : {"status", "begin", "end", "remove", "--minutes", "--renewals",
                           "--quiet-renewals", "--language"}) {
    EXPECT_NE(usage.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(usage.back(), '\n');
}

}  // namespace
}  // namespace dravik
