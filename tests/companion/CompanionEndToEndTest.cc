// The companion app's whole journey on a simulated MacBook, with real processes: the app is
// installed into /Applications, the supervisor (dravik-launchd) runs as root, and the
// companion's model runs as the console user in the signed quellan-compat-cli from the
// bundle. Install → awaiting approval → approved → ready → removed: sleep restored, the
// registration gone and the daemon stopped. Every wait polls with a generous bound.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

#include "Platform/CodeIdentity/IdentityFiles.h"
#include "Platform/Sim/SimMachine.h"
#include "Platform/Sim/SimPrograms.h"
#include "Platform/Sim/SimServiceManagement.h"
#include "QuellanServiceProtocol/ServiceProtocol.h"

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

struct Run {
  int status = -1;
  std::string out;
};

// Runs `argv` with DRAVIK_MACHINE=root, as `uid` (and its group) when not 0; its standard
// output is returned, its standard error goes to `errPath`. The child of a non-root run
// keeps CAP_SYS_PTRACE (see below).
Run runProgram(const std::vector<std::string>& argv, const std::string& root, uid_t uid,
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
    if (uid != 0) {
      // The client checks the daemon's code through /proc/<pid>/exe, which the kernel shows
      // another user's process only with CAP_SYS_PTRACE; the client keeps just that one.
      ::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0);
      if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 ||
          ::setresuid(uid, uid, uid) != 0) {
        ::_exit(120);
      }
      __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
      __user_cap_data_struct data[2] = {};
      data[0].effective = data[0].permitted = data[0].inheritable = 1u << CAP_SYS_PTRACE;
      if (::syscall(SYS_capset, &header, data) != 0 ||
          ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_SYS_PTRACE, 0, 0) != 0) {
        ::_exit(121);
      }
    }
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  Run run;
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
    dravik::platform::installAnchorPublicKey(DRAVIK_DEV_ANCHOR_DIR, machine_.root());
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
    Run run = runProgram({machine_.root() + kBundle + "/Contents/MacOS/quellan-compat-cli", action},
                         machine_.root(), kConsoleUid, logs_ + "/cli.err");
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0)
        << action << ": status " << run.status << "\n"
        << diagnostics();
    return run.out;
  }
  int machineCommand(const std::vector<std::string>& args) {
    std::vector<std::string> argv{sim::kBuiltMachineProgram, "--root", machine_.root()};
    argv.insert(argv.end(), args.begin(), args.end());
    Run run = runProgram(argv, machine_.root(), 0, logs_ + "/machine.err");
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

  sim::TemporaryMachine machine_{[] {
    sim::MachineOptions options;
    options.pmsetProgram = sim::kBuiltPmsetProgram;
    return options;
  }()};
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

  const sim::Machine machine = machine_.state().read();
  EXPECT_FALSE(sim::rootDomainSleepDisabled(machine));
  EXPECT_FALSE(machine.pmsetSleepDisabled);
  EXPECT_FALSE(std::filesystem::exists(
      machine_.root() + "/Library/Application Support/dravik.compatibility/recovery.json"));

  EXPECT_EQ(supervisor.stop(), 0) << diagnostics();
}

}  // namespace
