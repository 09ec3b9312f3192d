// The companion app's whole journey on a simulated MacBook, with real processes: the app is
// installed into /Applications, the supervisor (dravik-launchd) runs as root, and the
// companion's model runs as the console user in the signed quellan-compat-cli from the
// bundle. Install → awaiting approval → approved → ready → a closed-lid session (the
// daemon tests' probe client) → removed: sleep restored, the registration gone and the
// daemon stopped. Every wait polls with a generous bound.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Sim/SimMachine.h"
#include "Platform/Sim/SimPrograms.h"
#include "Platform/Sim/SimServiceManagement.h"
#include "QuellanServiceProtocol/ServiceProtocol.h"
#include "tests/daemon/DaemonHarness.h"

namespace {

namespace sim = dravik::platform::sim;
using quellan::CompatibilityService;

constexpr uid_t kConsoleUid = 501;
constexpr const char* kBundle = "/Applications/Quellan Compatibility.app";

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Outcome {
  int status = -1;
  std::string out;
};

// Runs `argv` with DRAVIK_MACHINE=root, as `uid` (and its group) when not 0; its standard
// output is returned, its standard error goes to `errPath`.
Outcome runProgram(const std::vector<std::string>& argv, const std::string& root, uid_t uid,
                   const std::string& errPath) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  std::vector<std::string> environment{"DRAVIK_MACHINE=" + root, "PATH=/usr/bin:/bin",
                                       "LANG=C.UTF-8"};
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name))
      environment.push_back(std::string(name) + "=" + value);
  }
  std::vector<char*> args, envp;
  std::vector<std::string> argvCopy = argv;
  for (auto& a : argvCopy) args.push_back(a.data());
  args.push_back(nullptr);
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], 1);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (err >= 0) ::dup2(err, 2);
    if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
                     ::setresuid(uid, uid, uid) != 0)) {
      ::_exit(120);
    }
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  Outcome run;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    run.out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeFds[0]);
  while (::waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
  }
  return run;
}

bool pollUntil(const std::function<bool()>& done, std::chrono::seconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// dravik-launchd for the length of a test; SIGTERM and a bounded wait at the end.
class Supervisor {
 public:
  Supervisor(const std::string& root, const std::string& logPath) {
    pid_ = ::fork();
    if (pid_ == 0) {
      int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      if (log >= 0) ::dup2(log, 2);
      ::execl(DRAVIK_LAUNCHD_PROGRAM, DRAVIK_LAUNCHD_PROGRAM, "--root", root.c_str(), "--interval",
              "0.05", static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~Supervisor() { stop(); }
  // The supervisor's exit status, or -1.
  int stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = 0;
    return status;
  }

 private:
  pid_t pid_ = 0;
};

class CompanionEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::geteuid(), 0u) << "runs the daemon as root and the companion as uid 501";
    sim::AppBundle app;
    app.appName = "Quellan Compatibility.app";
    app.programs = {DRAVIK_COMPANION_PROGRAM, DRAVIK_DAEMON_PROGRAM, DRAVIK_CLI_PROGRAM};
    app.daemons.push_back(
        {CompatibilityService::plist(), "QuellanSleepService", CompatibilityService::name()});
    ASSERT_EQ(sim::installApp(machine_.root(), app), kBundle);
    logs_ = machine_.root() + "/test-logs";
    ::mkdir(logs_.c_str(), 0777);
    ::chmod(logs_.c_str(), 0777);
  }

  // The companion's model, one action, as the console user from the bundle.
  std::string companion(const std::string& action) {
    Outcome run =
        runProgram({machine_.root() + kBundle + "/Contents/MacOS/quellan-compat-cli", action},
                   machine_.root(), kConsoleUid, logs_ + "/cli.err");
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0)
        << action << ": status " << run.status << "\n"
        << diagnostics();
    return run.out;
  }
  int machineCommand(const std::vector<std::string>& args) {
    std::vector<std::string> argv{sim::kBuiltMachineProgram, "--root", machine_.root()};
    argv.insert(argv.end(), args.begin(), args.end());
    Outcome run = runProgram(argv, machine_.root(), 0, logs_ + "/machine.err");
    return WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1;
  }
  std::optional<sim::ServiceRegistration> registration() {
    return sim::findRegistration(machine_.state().read(), CompatibilityService::plist());
  }
  std::string diagnostics() {
    return "--- dravik-launchd:\n" + readFile(logs_ + "/launchd.log") + "--- daemon:\n" +
           readFile(machine_.root() + "/var/log/" + CompatibilityService::name() + ".log") +
           "--- quellan-compat-cli:\n" + readFile(logs_ + "/cli.err");
  }

  // With the build's pmset and its development anchor.
  quellan::e2e::TestMachine machine_;
  std::string logs_;
};

TEST_F(CompanionEndToEndTest, InstallApproveCheckAndRemove) {
  Supervisor supervisor(machine_.root(), logs_ + "/launchd.log");

  EXPECT_EQ(companion("refresh"), "state: notRegistered\nready: false\nbusy: false\nmessage: \n");

  EXPECT_EQ(companion("install"),
            "state: requiresApproval\nready: false\nbusy: false\n"
            "message: 请在系统设置中允许Quellan兼容组件\n");
  EXPECT_NE(readFile(logs_ + "/cli.err").find("service approve " + CompatibilityService::plist()),
            std::string::npos)
      << "the settings page names the approval step";
  ASSERT_TRUE(registration());
  EXPECT_FALSE(registration()->pid) << "started before approval";

  ASSERT_EQ(machineCommand({"service", "approve", CompatibilityService::plist()}), 0);

  // The supervisor starts the daemon; until it listens, the companion cannot reach it.
  std::string refreshed;
  ASSERT_TRUE(pollUntil(
      [&] {
        refreshed = companion("refresh");
        return refreshed.find("ready: true") != std::string::npos;
      },
      std::chrono::seconds(30)))
      << refreshed << diagnostics();
  EXPECT_EQ(refreshed, "state: enabled\nready: true\nbusy: false\nmessage: 兼容组件已就绪\n");
  ASSERT_TRUE(registration()->pid);
  const pid_t daemon = static_cast<pid_t>(*registration()->pid);
  EXPECT_EQ(::kill(daemon, 0), 0);

  // A closed-lid session keeps the Mac awake with its lid closed.
  quellan::e2e::ClientProcess session(machine_, quellan::e2e::probeProgram(), kConsoleUid);
  ASSERT_EQ(session.send("begin 0"), "ok") << diagnostics();
  EXPECT_TRUE(machine_.sleepDisabled());
  EXPECT_TRUE(machine_.journalExists());
  machine_.change([](sim::Machine& m) { sim::setLidClosed(m, true); });
  EXPECT_EQ(sim::macNow(machine_.state().read()), sim::MacActivity::kAwakeLidClosed);

  EXPECT_EQ(companion("remove"),
            "state: notRegistered\nready: false\nbusy: false\n"
            "message: 睡眠已恢复，可以移除兼容组件\n")
      << diagnostics();
  EXPECT_FALSE(registration());

  // The supervisor stops the daemon, which exits cleanly once sleep is restored.
  ASSERT_TRUE(pollUntil(
      [&] {
        auto exit = sim::lastExit(machine_.state().read(), CompatibilityService::plist());
        return exit && exit->pid == daemon;
      },
      std::chrono::seconds(30)))
      << diagnostics();
  EXPECT_EQ(sim::lastExit(machine_.state().read(), CompatibilityService::plist())->status,
            "exited with status 0")
      << diagnostics();
  EXPECT_NE(::kill(daemon, 0), 0) << "the daemon still runs";

  // Sleep came back before the daemon went: the setting is off and nothing is journaled.
  EXPECT_FALSE(machine_.sleepDisabled());
  EXPECT_FALSE(machine_.journalExists());
  EXPECT_EQ(machine_.journalPath(),
            machine_.root() + "/Library/Application Support/dravik.compatibility/recovery.json");
  EXPECT_EQ(session.send("renew"), "fail 请先安装并授权Quellan兼容组件")
      << "the session ended with the daemon";

  EXPECT_EQ(supervisor.stop(), 0) << diagnostics();
}

}  // namespace
