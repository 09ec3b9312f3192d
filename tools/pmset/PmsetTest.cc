// Runs the real pmset stand-in, installed in a temporary machine, the way the daemon does:
// by absolute path, with exactly three environment variables, in its own process group.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Platform/Sim/SimMachine.h"
#include "Platform/Sim/SimPrograms.h"

namespace dravik::platform::sim {
namespace {

constexpr const char* kUsage =
    "usage: pmset -g\n"
    "       pmset -a disablesleep 0|1\n"
    "       pmset sleepnow\n";
constexpr double kBound = 20.0;  // seconds; generous, only ever reached by a failure

double monotonic() { return realUptimeSeconds(); }

void pause20ms() {
  timespec pause{0, 20'000'000};
  nanosleep(&pause, nullptr);
}

struct Child {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

Child start(const std::string& program, const std::vector<std::string>& args, uid_t uid = 0) {
  int out[2];
  int err[2];
  EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    if (uid != 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    char path[] = "PATH=/usr/bin:/bin";
    char lcAll[] = "LC_ALL=C";
    char lang[] = "LANG=C";
    char* envp[] = {path, lcAll, lang, nullptr};
    ::execve(program.c_str(), argv.data(), envp);
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  return Child{pid, out[0], err[0]};
}

// The exit status (or 1000 + signal), polling with a generous bound.
int waitFor(pid_t pid) {
  const double end = monotonic() + kBound;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (monotonic() > end) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ADD_FAILURE() << "pmset did not finish";
      return -1;
    }
    pause20ms();
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

// Reads `fd` to its end (bounded) and closes it.
std::string drain(int fd) {
  std::string text;
  const double end = monotonic() + kBound;
  char buffer[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) == 0) {
      if (monotonic() > end) {
        ADD_FAILURE() << "output never ended";
        break;
      }
      continue;
    }
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

class PmsetTest : public ::testing::Test {
 protected:
  PmsetTest() : machine_(options()) {}

  static MachineOptions options() {
    MachineOptions options;
    options.pmsetProgram = kBuiltPmsetProgram;
    return options;
  }
  std::string pmset() const { return machine_.root() + "/usr/bin/pmset"; }
  Machine state() { return machine_.state().read(); }
  void change(const std::function<void(Machine&)>& edit) { machine_.state().update(edit); }

  Result run(const std::vector<std::string>& args, uid_t uid = 0) {
    return runProgram(pmset(), args, uid);
  }
  static Result runProgram(const std::string& program, const std::vector<std::string>& args,
                           uid_t uid = 0) {
    Child child = start(program, args, uid);
    Result result;
    // Both pipes are drained together before waiting, so a large report cannot block the
    // child.
    std::string* texts[2] = {&result.out, &result.err};
    pollfd fds[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
    const double end = monotonic() + kBound;
    char buffer[4096];
    while ((fds[0].fd >= 0 || fds[1].fd >= 0) && monotonic() < end) {
      if (::poll(fds, 2, 100) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          texts[i]->append(buffer, static_cast<std::size_t>(n));
        } else {
          ::close(fds[i].fd);
          fds[i].fd = -1;
        }
      }
    }
    EXPECT_TRUE(fds[0].fd < 0 && fds[1].fd < 0) << "output never ended";
    for (const auto& fd : fds) {
      if (fd.fd >= 0) ::close(fd.fd);
    }
    result.status = waitFor(child.pid);
    return result;
  }

  TemporaryMachine machine_;
};

// The lines whose first word is "SleepDisabled".
std::vector<std::string> sleepDisabledLines(const std::string& report) {
  std::vector<std::string> lines;
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string first;
    if (words >> first && first == "SleepDisabled") lines.push_back(line);
  }
  return lines;
}

TEST_F(PmsetTest, ReportHasTheRealToolsLayout) {
  Result result = run({"-g"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(result.out.starts_with("System-wide power settings:\n SleepDisabled\t\t0\n"))
      << result.out;
  EXPECT_NE(result.out.find("\nCurrently in use:\n standby              1\n"), std::string::npos);
  EXPECT_NE(result.out.find("\n Sleep On Power Button 1\n"), std::string::npos);
  EXPECT_NE(result.out.find("\n hibernatefile        /var/vm/sleepimage\n"), std::string::npos);
  EXPECT_TRUE(result.out.ends_with(" womp                 0\n"));
  EXPECT_EQ(sleepDisabledLines(result.out).size(), 1u);

  change([](Machine& m) { setSleepDisabled(m, true); });
  EXPECT_TRUE(run({"-g"}).out.starts_with("System-wide power settings:\n SleepDisabled\t\t1\n"));
}

TEST_F(PmsetTest, DisableSleepReachesTheRootDomainAfterTheLag) {
  change([](Machine& m) {
    freezeClock(m);
    m.faults.rootDomainLag = 0.3;
  });
  Result result = run({"-a", "disablesleep", "1"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(state().pmsetSleepDisabled);
  EXPECT_EQ(sleepDisabledLines(run({"-g"}).out), std::vector<std::string>{" SleepDisabled\t\t1"});
  EXPECT_FALSE(rootDomainSleepDisabled(state()));
  change([](Machine& m) { advanceClock(m, 0.29); });
  EXPECT_FALSE(rootDomainSleepDisabled(state()));
  change([](Machine& m) { advanceClock(m, 0.01); });
  EXPECT_TRUE(rootDomainSleepDisabled(state()));

  EXPECT_EQ(run({"-a", "disablesleep", "0"}).status, 0);
  EXPECT_FALSE(state().pmsetSleepDisabled);
  EXPECT_TRUE(rootDomainSleepDisabled(state()));
  change([](Machine& m) { advanceClock(m, 0.3); });
  EXPECT_FALSE(rootDomainSleepDisabled(state()));
}

TEST_F(PmsetTest, WithoutLagTheRootDomainFollowsAtOnce) {
  EXPECT_EQ(run({"-a", "disablesleep", "1"}).status, 0);
  EXPECT_TRUE(rootDomainSleepDisabled(state()));
  // Turning it off with the lid closed does not put the Mac to sleep.
  change([](Machine& m) { setLidClosed(m, true); });
  EXPECT_EQ(run({"-a", "disablesleep", "0"}).status, 0);
  EXPECT_EQ(macNow(state()), MacActivity::kAwakeLidClosed);
  Result sleep = run({"sleepnow"});
  EXPECT_EQ(sleep.status, 0);
  EXPECT_EQ(sleep.out, "Sleeping now...\n");
  EXPECT_EQ(macNow(state()), MacActivity::kAsleep);
}

TEST_F(PmsetTest, BadArgumentsPrintTheUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-g", "custom"},
      {"-a"},
      {"-a", "disablesleep"},
      {"-a", "disablesleep", "2"},
      {"-a", "disablesleep", "1", "extra"},
      {"-a", "sleep", "1"},
      {"-c", "disablesleep", "1"},
      {"--help"},
  };
  for (const auto& args : cases) {
    Result result = run(args);
    EXPECT_EQ(result.status, 1) << testing::PrintToString(args);
    EXPECT_EQ(result.err, kUsage) << testing::PrintToString(args);
    EXPECT_EQ(result.out, "");
  }
  EXPECT_FALSE(state().pmsetSleepDisabled);
}

TEST_F(PmsetTest, OnlyRootChangesTheSetting) {
  constexpr uid_t kNobody = 65534;
  Result result = run({"-a", "disablesleep", "1"}, kNobody);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "pmset: must be run as root\n");
  EXPECT_FALSE(state().pmsetSleepDisabled);
  EXPECT_EQ(run({"sleepnow"}, kNobody).status, 1);
  Result report = run({"-g"}, kNobody);
  EXPECT_EQ(report.status, 0);
  EXPECT_EQ(sleepDisabledLines(report.out).size(), 1u);
}

TEST_F(PmsetTest, FindsItsMachineFromItsOwnLocation) {
  TemporaryMachine other(options());
  other.state().update([](Machine& m) { setSleepDisabled(m, true); });
  EXPECT_EQ(sleepDisabledLines(run({"-g"}).out), std::vector<std::string>{" SleepDisabled\t\t0"});
  EXPECT_EQ(sleepDisabledLines(runProgram(other.root() + "/usr/bin/pmset", {"-g"}).out),
            std::vector<std::string>{" SleepDisabled\t\t1"});

  Result outside = runProgram(kBuiltPmsetProgram, {"-g"});
  EXPECT_EQ(outside.status, 1);
  EXPECT_TRUE(outside.err.starts_with("pmset: not installed at <machine root>/usr/bin/pmset"))
      << outside.err;
}

TEST_F(PmsetTest, ExitStatusFaultChangesNothing) {
  change([](Machine& m) { m.faults.pmsetExitStatus = 3; });
  EXPECT_EQ(run({"-a", "disablesleep", "1"}).status, 3);
  EXPECT_FALSE(state().pmsetSleepDisabled);
  EXPECT_FALSE(rootDomainSleepDisabled(state()));
  Result report = run({"-g"});
  EXPECT_EQ(report.status, 3);
  EXPECT_EQ(sleepDisabledLines(report.out).size(), 1u);
}

TEST_F(PmsetTest, OutputSizeFaultWritesExactlyThatMuch) {
  for (std::uint64_t bytes : {16384u, 16385u, 100000u}) {
    change([bytes](Machine& m) { m.faults.pmsetOutputBytes = bytes; });
    Result report = run({"-g"});
    EXPECT_EQ(report.status, 0);
    EXPECT_EQ(report.out.size(), bytes);
    EXPECT_EQ(sleepDisabledLines(report.out).size(), 1u) << bytes;
  }
  change([](Machine& m) { m.faults.pmsetOutputBytes = 10; });
  EXPECT_EQ(run({"-g"}).out, "System-wid");
  EXPECT_EQ(run({"-g"}).out.size(), 10u);
  change([](Machine& m) { m.faults.pmsetOutputBytes = 20000; });
  Result write = run({"-a", "disablesleep", "1"});
  EXPECT_EQ(write.status, 0);
  EXPECT_EQ(write.out.size(), 20000u);
  EXPECT_TRUE(state().pmsetSleepDisabled);
}

TEST_F(PmsetTest, InvalidUtf8FaultKeepsTheSettingLine) {
  change([](Machine& m) { m.faults.pmsetInvalidUtf8 = true; });
  Result report = run({"-g"});
  EXPECT_EQ(report.status, 0);
  EXPECT_NE(report.out.find('\xff'), std::string::npos);
  EXPECT_EQ(sleepDisabledLines(report.out), std::vector<std::string>{" SleepDisabled\t\t0"});
}

TEST_F(PmsetTest, RootDomainNeverFollowsFault) {
  change([](Machine& m) {
    freezeClock(m);
    m.faults.rootDomainNeverFollows = true;
  });
  EXPECT_EQ(run({"-a", "disablesleep", "1"}).status, 0);
  change([](Machine& m) { advanceClock(m, 1e6); });
  EXPECT_TRUE(state().pmsetSleepDisabled);
  EXPECT_FALSE(rootDomainSleepDisabled(state()));
}

bool ignoresSigterm(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("SigIgn:")) {
      return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
    }
  }
  return false;
}

TEST_F(PmsetTest, HangFaultIgnoresSigtermUntilKilled) {
  change([](Machine& m) { m.faults.pmsetHang = true; });
  Child child = start(pmset(), {"-g"});
  const double end = monotonic() + kBound;
  while (!ignoresSigterm(child.pid) && monotonic() < end) pause20ms();
  ASSERT_TRUE(ignoresSigterm(child.pid));
  ASSERT_EQ(::kill(child.pid, SIGTERM), 0);
  int status = 0;
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(::waitpid(child.pid, &status, WNOHANG), 0) << "pmset ended on SIGTERM";
    pause20ms();
  }
  ASSERT_EQ(::kill(-child.pid, SIGKILL), 0);
  EXPECT_EQ(waitFor(child.pid), 1000 + SIGKILL);
  EXPECT_EQ(drain(child.out), "");
  drain(child.err);
}

TEST_F(PmsetTest, ForkChildFaultKeepsStdoutOpenAfterPmsetExits) {
  change([](Machine& m) { m.faults.pmsetForkChild = 600; });
  Child child = start(pmset(), {"-g"});
  EXPECT_EQ(waitFor(child.pid), 0);
  drain(child.err);
  std::string report;
  char buffer[4096];
  while (!report.ends_with(" womp                 0\n")) {
    pollfd p{child.out, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, static_cast<int>(kBound * 1000)), 1);
    ssize_t n = ::read(child.out, buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    report.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(sleepDisabledLines(report).size(), 1u);
  // pmset is gone, yet its child still holds the pipe: no end of file.
  pollfd p{child.out, POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0);
  // The child is in pmset's process group, as a timed-out caller would find it.
  ASSERT_EQ(::kill(-child.pid, SIGKILL), 0);
  EXPECT_EQ(drain(child.out), "");
}

}  // namespace
}  // namespace dravik::platform::sim
