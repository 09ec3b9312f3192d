#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "Platform/Posix/ChildProcess.h"

namespace dravik::platform {
namespace {

namespace fs = std::filesystem;
using Ending = ChildProcessResult::Ending;

// True while `pid` runs (a zombie waiting for its reaper counts as gone).
bool running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z' &&
         text[close + 2] != 'X';
}

// Polls (with a generous bound) until `pid` is gone; the kill reaches it asynchronously.
bool gone(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    if (!running(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class ChildProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/child-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    temp = pattern;
  }
  void TearDown() override { fs::remove_all(temp); }

  // A /bin/sh script in the temporary directory.
  std::string script(const std::string& name, const std::string& body) {
    const fs::path path = temp / name;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    fs::permissions(path, fs::perms::owner_all);
    return path.string();
  }
  ChildProcessRequest request(std::string path, std::vector<std::string> arguments = {}) {
    ChildProcessRequest r;
    r.path = std::move(path);
    r.arguments = std::move(arguments);
    r.environment = {"PATH=/usr/bin:/bin", "LC_ALL=C", "LANG=C"};
    r.timeoutSeconds = 2.0;
    r.graceSeconds = 1.0;
    r.outputLimit = 16384;
    return r;
  }
  pid_t pidFrom(const std::string& name) {
    std::ifstream in(temp / name);
    pid_t pid = 0;
    in >> pid;
    return pid;
  }
  std::string pidFile(const std::string& name) { return (temp / name).string(); }

  fs::path temp;
};

TEST_F(ChildProcessTest, PassesArgumentsAndExactlyTheGivenEnvironment) {
  ::setenv("DRAVIK_CHILD_TEST_LEAK", "1", 1);
  auto env = runChildProcess(request("/usr/bin/env"));
  ::unsetenv("DRAVIK_CHILD_TEST_LEAK");
  EXPECT_EQ(env.ending, Ending::kExited);
  EXPECT_EQ(env.exitStatus, 0);
  EXPECT_EQ(env.output, "PATH=/usr/bin:/bin\nLC_ALL=C\nLANG=C\n");

  auto echo = runChildProcess(request("/bin/echo", {"a b", "", "c"}));
  EXPECT_EQ(echo.output, "a b  c\n");
  EXPECT_FALSE(echo.outputOverLimit);
  EXPECT_FALSE(echo.outputUnfinished);
}

TEST_F(ChildProcessTest, StandardErrorAndInputGoToTheNullDevice) {
  auto result =
      runChildProcess(request(script("tool", "echo out; echo err >&2; cat; echo \"$0\"\n")));
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.output, "out\n" + (temp / "tool").string() + "\n");
}

TEST_F(ChildProcessTest, OnlyStandardDescriptorsAreInherited) {
  auto result = runChildProcess(request("/bin/ls", {"/proc/self/fd"}));
  EXPECT_EQ(result.output, "0\n1\n2\n3\n");  // 3 is ls's own directory handle
}

TEST_F(ChildProcessTest, ChildLeadsItsOwnProcessGroup) {
  auto result = runChildProcess(request(script("tool", "ps -o pid= -o pgid= -p $$\n")));
  std::istringstream fields(result.output);
  long pid = 0, group = 0;
  fields >> pid >> group;
  EXPECT_NE(pid, 0);
  EXPECT_EQ(pid, group);
  EXPECT_NE(group, static_cast<long>(::getpgrp()));
}

TEST_F(ChildProcessTest, LaunchFailuresAreSystemErrors) {
  try {
    runChildProcess(request((temp / "missing").string()));
    FAIL() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOENT);
  }
  const fs::path plain = temp / "plain";
  std::ofstream(plain) << "not a program";
  try {
    runChildProcess(request(plain.string()));
    FAIL() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EACCES);
  }
}

TEST_F(ChildProcessTest, FailedOrSignalledChildIsReportedAndItsOutputNotRead) {
  auto failed = runChildProcess(request(script("tool", "echo report; exit 3\n")));
  EXPECT_EQ(failed.ending, Ending::kExited);
  EXPECT_EQ(failed.exitStatus, 3);
  EXPECT_EQ(failed.output, "");

  auto signalled = runChildProcess(request(script("tool2", "echo report; kill -TERM $$\n")));
  EXPECT_EQ(signalled.ending, Ending::kSignaled);
  EXPECT_EQ(signalled.signal, SIGTERM);
  EXPECT_EQ(signalled.output, "");
}

TEST_F(ChildProcessTest, OutputLimitIsExact) {
  auto r = request(script("tool", "printf %s \"$1\"\n"));
  r.outputLimit = 10;
  r.arguments = {"0123456789"};
  auto fits = runChildProcess(r);
  EXPECT_EQ(fits.output, "0123456789");
  EXPECT_FALSE(fits.outputOverLimit);
  r.arguments = {"0123456789A"};
  auto over = runChildProcess(r);
  EXPECT_TRUE(over.outputOverLimit);
  EXPECT_EQ(over.output, "0123456789");
}

TEST_F(ChildProcessTest, HangingToolIsKilledWithItsGroup) {
  // The tool and its helper both ignore the polite signals; SIGKILL takes them anyway.
  auto r = request(script("tool",
                          "trap '' TERM INT HUP\n"
                          "sleep 60 & echo $! > " +
                              pidFile("helper") +
                              "\n"
                              "echo $$ > " +
                              pidFile("tool") +
                              "\n"
                              "wait\n"));
  r.timeoutSeconds = 0.5;
  r.graceSeconds = 0.5;
  const auto start = std::chrono::steady_clock::now();
  auto result = runChildProcess(r);
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(result.ending, Ending::kTimedOut);
  EXPECT_EQ(result.output, "");
  EXPECT_LT(took, 5.0);  // a hang bound, not a speed check
  EXPECT_TRUE(gone(pidFrom("tool")));
  EXPECT_TRUE(gone(pidFrom("helper")));
}

TEST_F(ChildProcessTest, HelperLeftHoldingThePipeIsKilledAndTheOutputRead) {
  auto result = runChildProcess(request(
      script("tool", "sleep 60 & echo $! > " + pidFile("helper") + "\necho 'SleepDisabled 0'\n")));
  EXPECT_EQ(result.ending, Ending::kExited);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.output, "SleepDisabled 0\n");
  EXPECT_FALSE(result.outputUnfinished);
  EXPECT_TRUE(gone(pidFrom("helper")));
}

TEST_F(ChildProcessTest, EscapedHelperHoldingThePipeDoesNotBlockTheReader) {
  // setsid takes the helper out of the group, beyond the kill: the read gives up after the
  // grace time with what came.
  auto r = request(script("tool", "setsid sh -c 'echo $$ > " + pidFile("helper") +
                                      "; exec sleep 60' &\n"
                                      "while [ ! -s " +
                                      pidFile("helper") +
                                      " ]; do sleep 0.01; done\n"
                                      "echo partial\n"));
  r.graceSeconds = 0.3;
  auto result = runChildProcess(r);
  EXPECT_EQ(result.ending, Ending::kExited);
  EXPECT_EQ(result.output, "partial\n");
  EXPECT_TRUE(result.outputUnfinished);
  const pid_t helper = pidFrom("helper");
  ASSERT_GT(helper, 0);
  ::kill(helper, SIGKILL);
}

TEST_F(ChildProcessTest, ToolWritingMoreThanThePipeHoldsEndsAsATimeOut) {
  auto r =
      request(script("tool", "echo $$ > " + pidFile("tool") + "\nhead -c 1000000 /dev/zero\n"));
  r.timeoutSeconds = 0.5;
  r.graceSeconds = 0.5;
  auto result = runChildProcess(r);
  EXPECT_EQ(result.ending, Ending::kTimedOut);
  EXPECT_TRUE(gone(pidFrom("tool")));
}

}  // namespace
}  // namespace dravik::platform

namespace dravik::platform {
namespace {

// A tool must not outlive a caller that is killed while it runs: a late change by an
// orphaned tool could undo what the restarted caller has restored.
TEST_F(ChildProcessTest, ToolDiesWithAKilledCaller) {
  const std::string marker = (temp / "changed").string();
  auto r =
      request(script("tool", "echo $$ > " + pidFile("tool") + "\nsleep 3\ntouch " + marker + "\n"));
  r.timeoutSeconds = 30.0;
  const pid_t caller = ::fork();
  ASSERT_GE(caller, 0);
  if (caller == 0) {
    runChildProcess(r);
    ::_exit(0);
  }
  for (int i = 0; i < 500 && pidFrom("tool") <= 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GT(pidFrom("tool"), 0);
  const pid_t tool = pidFrom("tool");
  ::kill(caller, SIGKILL);
  ::waitpid(caller, nullptr, 0);
  EXPECT_TRUE(gone(tool)) << "the tool outlived its caller";
  EXPECT_FALSE(fs::exists(marker)) << "the orphaned tool finished its change";
}

}  // namespace
}  // namespace dravik::platform
