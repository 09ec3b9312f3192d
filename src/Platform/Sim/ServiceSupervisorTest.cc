// The supervisor with real processes: a shell script stands in for the daemon. Every wait
// polls with a generous bound.

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
#include <thread>

#include "Platform/Sim/ServiceSupervisor.h"
#include "Platform/Sim/SimMachine.h"
#include "Platform/Sim/SimServiceManagement.h"

namespace dravik::platform::sim {
namespace {

constexpr const char* kPlist = "test.daemon.plist";
constexpr const char* kBundle = "/Applications/Test.app";

// Reports its start, uid and machine once it handles SIGTERM, then waits for it.
constexpr const char* kPoliteDaemon =
    "#!/bin/sh\n"
    "trap 'echo stopped; exit 0' TERM\n"
    "echo \"started $$ uid=$(id -u) machine=$DRAVIK_MACHINE args=$*\"\n"
    "while :; do sleep 0.05; done\n";
// Ignores SIGTERM.
constexpr const char* kStubbornDaemon =
    "#!/bin/sh\n"
    "trap '' TERM\n"
    "echo started\n"
    "while :; do sleep 0.05; done\n";

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool processRuns(pid_t pid) { return ::kill(pid, 0) == 0; }

class ServiceSupervisorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::geteuid(), 0u) << "the supervisor starts daemons as root";
    options_.log = &log_;
    options_.minBackoffSeconds = 0.05;
    options_.maxBackoffSeconds = 0.2;
    options_.stopTimeoutSeconds = 5;
  }

  // Installs Test.app with `script` as its daemon, registers and (optionally) approves it.
  void registerDaemon(const char* script, bool approved = true) {
    const std::string built = machine_.root() + "/build";
    ::mkdir(built.c_str(), 0755);
    std::ofstream(built + "/daemon") << script;
    ::chmod((built + "/daemon").c_str(), 0755);
    std::ofstream(built + "/daemon.sig") << "{}";
    installApp(machine_.root(), {"Test.app", {built + "/daemon"}, {{kPlist, "daemon", ""}}});
    services_.daemon(kPlist)->registerService();
    if (approved) setApproved(true);
  }
  void setApproved(bool approved) {
    machine_.state().update([&](Machine& m) { sim::setApproved(m, kPlist, approved); });
  }
  void unregister() {
    services_.daemon(kPlist)->unregister(
        [](std::optional<std::string> error) { EXPECT_EQ(error, std::nullopt); });
  }
  std::optional<ServiceRegistration> registration() {
    return findRegistration(machine_.state().read(), kPlist);
  }
  std::string daemonLog() { return readFile(machine_.root() + "/var/log/test.daemon.log"); }

  // Polls the supervisor until `done` holds; false after 10 seconds.
  bool pollUntil(ServiceSupervisor& supervisor, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      supervisor.poll();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  pid_t daemonPid(ServiceSupervisor& supervisor) {
    auto running = supervisor.running();
    auto it = running.find(kPlist);
    return it == running.end() ? 0 : it->second;
  }

  TemporaryMachine machine_;
  SimServiceManagement services_{machine_.root(), kBundle, nullptr};
  std::ostringstream log_;
  ServiceSupervisor::Options options_;
};

TEST_F(ServiceSupervisorTest, RunsAnApprovedDaemonAsRootAndStopsItWhenUnregistered) {
  registerDaemon(kPoliteDaemon, false);
  ServiceSupervisor supervisor(machine_.root(), options_);
  supervisor.poll();
  EXPECT_TRUE(supervisor.running().empty()) << "started before the user approved it";

  setApproved(true);
  ASSERT_TRUE(pollUntil(supervisor, [&] {
    return daemonLog().find("started") != std::string::npos;
  })) << log_.str();
  const pid_t pid = daemonPid(supervisor);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(daemonLog(),
            "started " + std::to_string(pid) + " uid=0 machine=" + machine_.root() + " args=\n");
  EXPECT_EQ(registration()->pid, pid);
  EXPECT_EQ(::getsid(pid), pid) << "the daemon runs in a session of its own";

  unregister();
  ASSERT_TRUE(pollUntil(supervisor, [&] { return supervisor.running().empty(); })) << log_.str();
  EXPECT_FALSE(processRuns(pid));
  EXPECT_EQ(daemonLog(), "started " + std::to_string(pid) + " uid=0 machine=" + machine_.root() +
                             " args=\nstopped\n");
  auto exit = lastExit(machine_.state().read(), kPlist);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->pid, pid);
  EXPECT_EQ(exit->status, "exited with status 0");
  EXPECT_NE(log_.str().find("stopping test.daemon.plist (pid " + std::to_string(pid) + ")"),
            std::string::npos)
      << log_.str();
}

TEST_F(ServiceSupervisorTest, RevokingTheApprovalStopsTheDaemonAndKeepsTheRegistration) {
  registerDaemon(kPoliteDaemon);
  ServiceSupervisor supervisor(machine_.root(), options_);
  ASSERT_TRUE(pollUntil(supervisor, [&] { return daemonPid(supervisor) > 0; }));
  setApproved(false);
  ASSERT_TRUE(pollUntil(supervisor, [&] { return supervisor.running().empty(); }));
  ASSERT_TRUE(registration());
  EXPECT_FALSE(registration()->pid);
}

TEST_F(ServiceSupervisorTest, RestartsADaemonThatDiedWhileEnabled) {
  registerDaemon(kPoliteDaemon);
  ServiceSupervisor supervisor(machine_.root(), options_);
  ASSERT_TRUE(pollUntil(supervisor, [&] { return daemonPid(supervisor) > 0; }));
  const pid_t first = daemonPid(supervisor);
  ASSERT_EQ(::kill(first, SIGKILL), 0);

  ASSERT_TRUE(pollUntil(supervisor, [&] {
    return daemonPid(supervisor) > 0 && daemonPid(supervisor) != first;
  })) << log_.str();
  auto exit = lastExit(machine_.state().read(), kPlist);
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->pid, first);
  EXPECT_EQ(exit->status, "killed by signal 9");
  EXPECT_EQ(registration()->pid, daemonPid(supervisor));
}

TEST_F(ServiceSupervisorTest, ADaemonThatIgnoresSigtermIsKilledAfterTheTimeout) {
  options_.stopTimeoutSeconds = 0.3;
  registerDaemon(kStubbornDaemon);
  ServiceSupervisor supervisor(machine_.root(), options_);
  ASSERT_TRUE(pollUntil(supervisor, [&] { return daemonLog() == "started\n"; }));
  const pid_t pid = daemonPid(supervisor);
  unregister();
  ASSERT_TRUE(pollUntil(supervisor, [&] { return supervisor.running().empty(); })) << log_.str();
  EXPECT_FALSE(processRuns(pid));
  EXPECT_EQ(lastExit(machine_.state().read(), kPlist)->status, "killed by signal 9");
}

TEST_F(ServiceSupervisorTest, StoppingTheSupervisorStopsItsDaemons) {
  registerDaemon(kPoliteDaemon);
  pid_t pid = 0;
  {
    ServiceSupervisor supervisor(machine_.root(), options_);
    ASSERT_TRUE(pollUntil(supervisor, [&] { return !daemonLog().empty(); }));
    pid = daemonPid(supervisor);
  }
  EXPECT_FALSE(processRuns(pid));
  EXPECT_FALSE(registration()->pid);
  EXPECT_EQ(lastExit(machine_.state().read(), kPlist)->status, "exited with status 0");
  EXPECT_NE(daemonLog().find("stopped"), std::string::npos);
}

TEST_F(ServiceSupervisorTest, OneSupervisorPerMachine) {
  ServiceSupervisor first(machine_.root(), options_);
  try {
    ServiceSupervisor second(machine_.root(), options_);
    ADD_FAILURE() << "two supervisors for one machine";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(error.what(), "another supervisor already runs the machine at " + machine_.root());
  }
}

TEST_F(ServiceSupervisorTest, ADaemonLeftByAnEarlierSupervisorIsStoppedBeforeANewOneStarts) {
  // The daemon is a copy of sleep, so that the process runs the registered file itself.
  const std::string built = machine_.root() + "/build";
  ::mkdir(built.c_str(), 0755);
  std::filesystem::copy_file("/bin/sleep", built + "/daemon");
  std::ofstream(built + "/daemon.sig") << "{}";
  installApp(machine_.root(), {"Test.app", {built + "/daemon"}, {{kPlist, "daemon", ""}}});
  const std::string program = machine_.root() + kBundle + "/Contents/MacOS/daemon";
  std::ofstream(machine_.root() + kBundle + "/Contents/Library/LaunchDaemons/" + kPlist)
      << R"({"BundleProgram": "Contents/MacOS/daemon", "ProgramArguments": ["600"]})";
  services_.daemon(kPlist)->registerService();
  setApproved(true);

  const pid_t orphan = ::fork();
  ASSERT_GE(orphan, 0);
  if (orphan == 0) {
    ::execl(program.c_str(), program.c_str(), "600", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Wait until it runs the program (not the test binary any more) and record it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::error_code error;
  while (std::filesystem::read_symlink("/proc/" + std::to_string(orphan) + "/exe", error) !=
             std::filesystem::weakly_canonical(program) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  machine_.state().update([&](Machine& m) {
    auto r = findRegistration(m, kPlist);
    r->pid = orphan;
    putRegistration(m, *r);
  });

  ServiceSupervisor supervisor(machine_.root(), options_);
  supervisor.poll();  // stops the orphan first, then starts its own
  int status = 0;
  ASSERT_EQ(::waitpid(orphan, &status, 0), orphan);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  ASSERT_TRUE(pollUntil(supervisor, [&] { return daemonPid(supervisor) > 0; }));
  EXPECT_NE(daemonPid(supervisor), orphan);
  EXPECT_EQ(registration()->pid, daemonPid(supervisor));
}

}  // namespace
}  // namespace dravik::platform::sim
