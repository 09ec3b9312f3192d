#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <system_error>
#include <thread>

#include "Platform/Fake/FakeClock.h"
#include "Platform/Fake/FakePowerRegistry.h"
#include "QuellanServiceCore/ServiceFailure.h"
#include "QuellanSleepService/SystemSetting.h"

namespace quellan {
namespace {

namespace fs = std::filesystem;
using dravik::platform::FakeClock;
using dravik::platform::FakePowerRegistry;
using dravik::platform::PropertyValue;

const std::string kTimedOut = "系统睡眠设置超时，请保持开盖并重试";
const std::string kRejected = "系统拒绝兼容组件的睡眠设置";
const std::string kBadReport = "系统睡眠设置响应异常";
const std::string kUnreadable = "无法读取系统睡眠设置，请稍后重试";
const std::string kUnconfirmed = "兼容组件未能确认睡眠设置，请稍后重试";

std::string failureText(const std::function<void()>& action) {
  try {
    action();
  } catch (const ServiceFailure& failure) {
    return failure.what();
  }
  return "(no failure)";
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// --- parse ---------------------------------------------------------------------------

TEST(SystemSleepSettingParseTest, Values) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"System-wide power settings:\n SleepDisabled 0\n", false},  // the self-test text
      {"SleepDisabled 1", true},
      {"\tSleepDisabled\t1\r\n", true},
      {"SleepDisabled 1\nSleepDisabled 2\n", true},
      {"SleepDisabled 0\nSleepDisabled 1 x\nsleepdisabled 1\n", false},
      {"a\vSleepDisabled 1\fb", true},
      {"a\rSleepDisabled 0\rb", false},
      {"x\xC2\x85SleepDisabled 1\xC2\x85y", true},          // NEL
      {"x\xE2\x80\xA8SleepDisabled 1\xE2\x80\xA9y", true},  // LS, PS
      {"SleepDisabled\xC2\xA0\xE3\x80\x80 1", true},        // no-break and ideographic space
      {"  SleepDisabled \xE2\x80\x83\xE1\x9A\x80 0   \n\n\n", false},  // em space, ogham
      {"\xFF\xFEheader\nSleepDisabled 1\n\xC0\n", true},               // invalid bytes elsewhere
      {" Sleep On Power Button 1\n hibernatemode 3\n SleepDisabled 1\n standby 0\n", true},
  };
  for (const auto& [text, value] : cases) {
    bool parsed = !value;
    EXPECT_NO_THROW(parsed = SystemSleepSetting::parse(text)) << text;
    EXPECT_EQ(parsed, value) << text;
  }
}

TEST(SystemSleepSettingParseTest, NoneOrSeveralValuesFail) {
  const std::vector<std::string> cases = {
      "",
      "System-wide power settings:\n",
      "SleepDisabled 2\n",
      "SleepDisabled 1 extra\n",
      "sleepdisabled 1\n",
      "SleepDisabled\n",
      "SleepDisabled 01\n",
      "SleepDisabled1\n",
      "SleepDisabled\xE2\x80\x8B"
      "1\n",  // zero-width space is no white space
      "Sleep\xFF"
      "Disabled 1\n",
      "SleepDisabled 0\nSleepDisabled 0\n",
      "System-wide power settings:\n SleepDisabled 0\n SleepDisabled 0\n",
      "SleepDisabled 1\r\nSleepDisabled 0\r\n",
  };
  for (const auto& text : cases) {
    EXPECT_EQ(failureText([&] { SystemSleepSetting::parse(text); }), kUnreadable) << text;
  }
}

TEST(DecodeUtf8LossyTest, ReplacesEachMaximalIllFormedPart) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "plain"},
      {"中文", "中文"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong: two parts
      {"\xE2\x82", "\xEF\xBF\xBD"},              // truncated: one part
      {"\xE2\x82x", "\xEF\xBF\xBDx"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // > U+10FFFF
      {"\xF0\x9F\x98", "\xEF\xBF\xBD"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(decodeUtf8Lossy(bytes), text) << bytes;
}

// --- read and write against real child processes -------------------------------------

// A machine root in a temporary directory whose <root>/usr/bin/pmset is a shell script
// written by each test, a fake root power domain and a manual clock.
class SystemSleepSettingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pmset-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root = pattern;
    fs::create_directories(root / "usr/bin");
    const char* previous = std::getenv("DRAVIK_MACHINE");
    if (previous != nullptr) savedMachine = previous;
    ::setenv("DRAVIK_MACHINE", root.c_str(), 1);
    registry.setProperty("SleepDisabled", false);
  }
  void TearDown() override {
    if (savedMachine) {
      ::setenv("DRAVIK_MACHINE", savedMachine->c_str(), 1);
    } else {
      ::unsetenv("DRAVIK_MACHINE");
    }
    fs::remove_all(root);
  }

  // Installs the stand-in tool. It records its arguments and environment first.
  void tool(const std::string& body) {
    const fs::path path = root / "usr/bin/pmset";
    std::ofstream(path) << "#!/bin/sh\n"
                        << "echo \"$*\" >> " << (root / "args").string() << "\n"
                        << "/usr/bin/env > " << (root / "env").string() << "\n"
                        << body;
    fs::permissions(path, fs::perms::owner_all);
  }
  void report(const std::string& value) {
    tool("printf 'System-wide power settings:\\n SleepDisabled " + value + "\\n'\n");
  }
  std::string args() { return slurp(root / "args"); }
  static double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  fs::path root;
  std::optional<std::string> savedMachine;
  FakePowerRegistry registry;
  dravik::PowerDriver driver{registry};
  FakeClock clock{500.0};
  SystemSleepSetting setting{driver, clock};
};

TEST_F(SystemSleepSettingTest, ReadAgreesWithTheRootDomain) {
  report("0");
  EXPECT_FALSE(setting.read());
  report("1");
  registry.setProperty("SleepDisabled", true);
  EXPECT_TRUE(setting.read());
  EXPECT_EQ(args(), "-g\n-g\n");
  // Run with exactly the three variables (PWD is the shell's own).
  std::string env = slurp(root / "env");
  EXPECT_NE(env.find("PATH=/usr/bin:/bin\n"), std::string::npos) << env;
  EXPECT_NE(env.find("LC_ALL=C\n"), std::string::npos) << env;
  EXPECT_NE(env.find("LANG=C\n"), std::string::npos) << env;
  EXPECT_EQ(env.find("DRAVIK_MACHINE"), std::string::npos) << env;
  EXPECT_EQ(env.find("HOME="), std::string::npos) << env;
}

TEST_F(SystemSleepSettingTest, ReadFailsWhenTheRootDomainDisagreesOrIsSilent) {
  report("1");
  EXPECT_EQ(failureText([&] { setting.read(); }), kUnconfirmed);
  registry.removeProperty("SleepDisabled");
  EXPECT_EQ(failureText([&] { setting.read(); }), kUnconfirmed);
  registry.setProperty("SleepDisabled", std::int64_t{1});  // a number is no Boolean
  EXPECT_EQ(failureText([&] { setting.read(); }), kUnconfirmed);
}

TEST_F(SystemSleepSettingTest, ReadPassesOnAnUnreadableReport) {
  tool("echo 'System-wide power settings:'\n");
  EXPECT_EQ(failureText([&] { setting.read(); }), kUnreadable);
}

TEST_F(SystemSleepSettingTest, WriteRunsTheToolAndReturnsOnceConfirmed) {
  tool("");
  registry.setProperty("SleepDisabled", true);
  setting.write(true);
  registry.setProperty("SleepDisabled", false);
  setting.write(false);
  EXPECT_EQ(args(), "-a disablesleep 1\n-a disablesleep 0\n");
  EXPECT_TRUE(clock.sleeps().empty());  // the first look comes at once
}

TEST_F(SystemSleepSettingTest, WriteWaitsForALateConfirmation) {
  tool("");
  clock.setSleepHook([&](double uptime) {
    if (uptime >= 500.3) registry.setProperty("SleepDisabled", true);
  });
  setting.write(true);
  const auto sleeps = clock.sleeps();
  ASSERT_FALSE(sleeps.empty());
  for (double pause : sleeps) EXPECT_DOUBLE_EQ(pause, 0.02);
  EXPECT_NEAR(clock.uptimeSeconds(), 500.3, 0.021);

  // The same through a registry that turns after a number of reads.
  registry.setProperty("SleepDisabled", true);
  registry.setPropertyAfterReads("SleepDisabled", PropertyValue(false), 5);
  clock.setSleepHook(nullptr);
  setting.write(false);
  EXPECT_EQ(registry.propertyReads("SleepDisabled"), static_cast<int>(sleeps.size()) + 1 + 6);
}

TEST_F(SystemSleepSettingTest, WriteNeverConfirmedFailsAfterTheWindow) {
  tool("");
  EXPECT_EQ(failureText([&] { setting.write(true); }), kUnconfirmed);
  EXPECT_GE(clock.uptimeSeconds(), 501.0);
  EXPECT_LT(clock.uptimeSeconds(), 501.0 + 0.021);
  EXPECT_EQ(registry.propertyReads("SleepDisabled"), static_cast<int>(clock.sleeps().size()) + 1);
  EXPECT_EQ(args(), "-a disablesleep 1\n");
}

TEST_F(SystemSleepSettingTest, RejectedRunsNeverReachTheReportOrTheRootDomain) {
  tool("echo 'SleepDisabled 0'\nexit 1\n");
  EXPECT_EQ(failureText([&] { setting.read(); }), kRejected);
  EXPECT_EQ(failureText([&] { setting.write(true); }), kRejected);
  EXPECT_EQ(registry.propertyReads("SleepDisabled"), 0);
  tool("echo 'SleepDisabled 0'\nkill -KILL $$\n");
  EXPECT_EQ(failureText([&] { setting.read(); }), kRejected);
}

TEST_F(SystemSleepSettingTest, ReportSizeLimitIsExact) {
  // A report line, then padding made of spaces, to exactly N bytes.
  const auto sized = [&](int bytes) {
    tool("printf 'SleepDisabled 1\\n'\nhead -c " + std::to_string(bytes - 16) +
         " /dev/zero | tr '\\0' ' '\n");
  };
  registry.setProperty("SleepDisabled", true);
  sized(16384);
  EXPECT_TRUE(setting.read());
  sized(16385);
  EXPECT_EQ(failureText([&] { setting.read(); }), kBadReport);
}

TEST_F(SystemSleepSettingTest, InvalidUtf8IsReplacedAndTheReportStillParsed) {
  tool("printf '\\377\\376 power \\300\\257\\nSleepDisabled\\t0\\n\\355\\240\\200\\n'\n");
  EXPECT_FALSE(setting.read());
}

TEST_F(SystemSleepSettingTest, MissingToolPassesTheLaunchErrorOn) {
  try {
    setting.read();
    FAIL() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOENT);
  }
}

TEST_F(SystemSleepSettingTest, HelperHoldingThePipeDoesNotHoldTheCaller) {
  tool("sleep 60 &\necho ' SleepDisabled 0'\n");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(setting.read());
  EXPECT_LT(since(start), 4.0);  // a hang bound, not a speed check
}

// The two cases below wait out the real 4-second limit.
TEST_F(SystemSleepSettingTest, HangingToolIsKilledAndTimesOut) {
  tool("echo $$ > " + (root / "pid").string() + "\nexec sleep 60\n");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(failureText([&] { setting.write(true); }), kTimedOut);
  const double took = since(start);
  EXPECT_GE(took, 3.9);
  EXPECT_LT(took, 5.5);  // 4 s wait plus at most the 1 s grace
  EXPECT_EQ(registry.propertyReads("SleepDisabled"), 0);
  pid_t pid = 0;
  std::ifstream(root / "pid") >> pid;
  ASSERT_GT(pid, 0);
  EXPECT_NE(::kill(pid, 0), 0);  // killed and reaped
}

TEST_F(SystemSleepSettingTest, ToolWritingMoreThanThePipeHoldsTimesOut) {
  tool("head -c 1000000 /dev/zero\n");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(failureText([&] { setting.read(); }), kTimedOut);
  EXPECT_LT(since(start), 5.5);
}

}  // namespace
}  // namespace quellan
