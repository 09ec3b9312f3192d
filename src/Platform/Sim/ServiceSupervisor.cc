#include "Platform/Sim/ServiceSupervisor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "Platform/Sim/SimServiceManagement.h"

namespace dravik::platform::sim {
namespace {

int openPidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int sendSignal(int pidfd, int signal) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

// Waits until the process behind `pidfd` has ended or `timeout` has passed.
bool waitEnded(int pidfd, std::chrono::milliseconds timeout) {
  pollfd entry{pidfd, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    int n = ::poll(&entry, 1, static_cast<int>(std::max<std::int64_t>(0, left.count())));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

std::string labelOf(const std::string& plist) {
  return plist.ends_with(".plist") ? plist.substr(0, plist.size() - 6) : plist;
}

std::chrono::milliseconds millisecondsOf(double seconds) {
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(seconds * 1000)));
}

}  // namespace

std::string describeWaitStatus(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "ended with wait status " + std::to_string(status);
}

ServiceSupervisor::ServiceSupervisor(std::string root)
    : ServiceSupervisor(std::move(root), Options{}) {}

ServiceSupervisor::ServiceSupervisor(std::string root, Options options)
    : root_(std::move(root)), options_(options), state_(root_) {
  const std::string lockPath = state_.directory() + "/supervisor.lock";
  lock_ = UniqueFd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!lock_) throwPosixError("open " + lockPath);
  if (::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      throw std::runtime_error("another supervisor already runs the machine at " + root_);
    }
    throwPosixError("flock " + lockPath);
  }
}

ServiceSupervisor::~ServiceSupervisor() { stopAll(); }

std::map<std::string, pid_t> ServiceSupervisor::running() const {
  std::map<std::string, pid_t> result;
  for (const auto& [plist, child] : children_) result.emplace(plist, child.pid);
  return result;
}

void ServiceSupervisor::say(const std::string& line) {
  if (options_.log != nullptr) *options_.log << "dravik-launchd: " << line << std::endl;
}

void ServiceSupervisor::record(const std::function<void(Machine&)>& change) {
  try {
    state_.update(change);
  } catch (const std::exception& error) {
    say(std::string("cannot record in the machine state: ") + error.what());
  }
}

void ServiceSupervisor::stopOrphans() {
  orphansChecked_ = true;
  Machine machine = state_.read();
  for (const auto& registration : registrations(machine)) {
    if (!registration.pid || children_.contains(registration.plist)) continue;
    const auto pid = static_cast<pid_t>(*registration.pid);
    UniqueFd pidfd(pid > 0 ? openPidfd(pid) : -1);
    if (pidfd) {
      // Only the registered program is ours to stop; a reused pid belongs to someone else.
      std::error_code error;
      auto running = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
      auto registered =
          std::filesystem::weakly_canonical(root_ + registration.program, error).string();
      if (!error && running.string() == registered) {
        say("stopping " + registration.plist + " (pid " + std::to_string(pid) +
            ") left running by an earlier supervisor");
        sendSignal(pidfd.get(), SIGTERM);
        if (!waitEnded(pidfd.get(), millisecondsOf(options_.stopTimeoutSeconds))) {
          sendSignal(pidfd.get(), SIGKILL);
          waitEnded(pidfd.get(), std::chrono::seconds(5));
        }
      }
    }
    record([&](Machine& m) {
      if (auto current = findRegistration(m, registration.plist); current && current->pid == pid) {
        current->pid.reset();
        putRegistration(m, *current);
      }
    });
  }
}

void ServiceSupervisor::reap(bool stopping) {
  for (auto it = children_.begin(); it != children_.end();) {
    const std::string plist = it->first;
    Child& child = it->second;
    int status = 0;
    pid_t done = ::waitpid(child.pid, &status, WNOHANG);
    if (done == 0 || (done < 0 && errno == EINTR)) {
      ++it;
      continue;
    }
    const std::string how = done < 0 ? "vanished" : describeWaitStatus(status);
    say(plist + " (pid " + std::to_string(child.pid) + ") " + how);
    const pid_t pid = child.pid;
    const bool wasStopped = child.killAt.has_value();
    Backoff& backoff = backoff_[plist];
    if (wasStopped || stopping ||
        Clock::now() - child.startedAt >= millisecondsOf(options_.stableSeconds)) {
      backoff.failures = 0;
      backoff.notBefore = Clock::now();
    } else {
      // It ended on its own while still wanted: start it again, but not in a tight loop.
      const double delay = std::min(options_.maxBackoffSeconds,
                                    options_.minBackoffSeconds * std::pow(2.0, backoff.failures));
      ++backoff.failures;
      backoff.notBefore = Clock::now() + millisecondsOf(delay);
    }
    it = children_.erase(it);
    record([&](Machine& m) {
      putLastExit(m, plist, ServiceExit{pid, how});
      if (auto registration = findRegistration(m, plist);
          registration && registration->pid == pid) {
        registration->pid.reset();
        putRegistration(m, *registration);
      }
    });
  }
}

void ServiceSupervisor::poll() {
  reap(false);
  Machine machine;
  try {
    if (!orphansChecked_) stopOrphans();
    machine = state_.read();
  } catch (const std::exception& error) {
    // Everything stays as it is until the machine can be read again.
    if (error.what() != lastProblem_) say(std::string("cannot read the machine: ") + error.what());
    lastProblem_ = error.what();
    return;
  }
  lastProblem_.clear();
  std::map<std::string, ServiceRegistration> wanted;
  try {
    for (auto& registration : registrations(machine)) {
      if (registration.approved) wanted.emplace(registration.plist, std::move(registration));
    }
  } catch (const std::exception& error) {
    say(std::string("the services section is malformed: ") + error.what());
    return;
  }

  const auto now = Clock::now();
  for (auto& [plist, child] : children_) {
    if (wanted.contains(plist)) continue;
    if (!child.killAt) {
      say("stopping " + plist + " (pid " + std::to_string(child.pid) + ")");
      sendSignal(child.pidfd.get(), SIGTERM);
      child.killAt = now + millisecondsOf(options_.stopTimeoutSeconds);
    } else if (now >= *child.killAt) {
      say(plist + " (pid " + std::to_string(child.pid) + ") ignored SIGTERM; killing it");
      sendSignal(child.pidfd.get(), SIGKILL);
      child.killAt = Clock::time_point::max();
    }
  }
  for (const auto& [plist, registration] : wanted) {
    if (children_.contains(plist)) continue;
    if (auto it = backoff_.find(plist); it != backoff_.end() && now < it->second.notBefore) {
      continue;
    }
    start(plist, registration.program, registration.arguments);
  }
}

void ServiceSupervisor::start(const std::string& plist, const std::string& program,
                              const std::vector<std::string>& arguments) {
  const std::string path = root_ + program;
  const std::string logDirectory = root_ + "/var/log";
  const std::string logPath = logDirectory + "/" + labelOf(plist) + ".log";
  auto fail = [&](const std::string& why) {
    say("cannot start " + plist + ": " + why);
    Backoff& backoff = backoff_[plist];
    const double delay = std::min(options_.maxBackoffSeconds,
                                  options_.minBackoffSeconds * std::pow(2.0, backoff.failures));
    ++backoff.failures;
    backoff.notBefore = Clock::now() + millisecondsOf(delay);
  };

  std::error_code error;
  std::filesystem::create_directories(logDirectory, error);
  UniqueFd log(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  UniqueFd input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!log || !input) return fail("cannot open " + logPath + " or /dev/null");

  // Everything the child needs is made before fork: after it, only async-signal-safe calls.
  std::vector<std::string> argumentStrings{path};
  argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
  std::vector<std::string> environment{"DRAVIK_MACHINE=" + root_, "PATH=/usr/bin:/bin",
                                       "HOME=/var/root"};
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name))
      environment.push_back(std::string(name) + "=" + value);
  }
  std::vector<char*> argv;
  for (auto& argument : argumentStrings) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  static const char kExecFailed[] = "dravik-launchd: cannot execute the daemon's program\n";

  const pid_t pid = ::fork();
  if (pid < 0) return fail(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) ::signal(signal, SIG_DFL);
    ::setsid();
    ::dup2(input.get(), 0);
    ::dup2(log.get(), 1);
    ::dup2(log.get(), 2);
    if (::chdir("/") != 0) ::_exit(127);
    ::syscall(SYS_close_range, 3, UINT_MAX, 0);
    ::execve(argv[0], argv.data(), envp.data());
    ssize_t ignored = ::write(2, kExecFailed, sizeof kExecFailed - 1);
    (void)ignored;
    ::_exit(127);
  }
  Child child;
  child.pid = pid;
  child.pidfd = UniqueFd(openPidfd(pid));  // the child is not reaped yet: the pid is its own
  child.program = program;
  child.startedAt = Clock::now();
  children_.emplace(plist, std::move(child));
  say("started " + plist + " (pid " + std::to_string(pid) + ")");
  record([&](Machine& m) {
    if (auto registration = findRegistration(m, plist)) {
      registration->pid = pid;
      putRegistration(m, *registration);
    }
  });
}

void ServiceSupervisor::stopAll() {
  if (children_.empty()) return;
  for (auto& [plist, child] : children_) {
    say("stopping " + plist + " (pid " + std::to_string(child.pid) + ")");
    sendSignal(child.pidfd.get(), SIGTERM);
  }
  const auto deadline = Clock::now() + millisecondsOf(options_.stopTimeoutSeconds);
  for (auto& [plist, child] : children_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (!waitEnded(child.pidfd.get(), std::max(left, std::chrono::milliseconds(0)))) {
      say(plist + " (pid " + std::to_string(child.pid) + ") ignored SIGTERM; killing it");
      sendSignal(child.pidfd.get(), SIGKILL);
      waitEnded(child.pidfd.get(), std::chrono::seconds(5));
    }
  }
  reap(true);
  // A child that survived even SIGKILL's wait is waited for without bound: never leave a
  // zombie or a daemon without its supervisor behind.
  for (auto& [plist, child] : children_) {
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  children_.clear();
}

int ServiceSupervisor::run(double intervalSeconds) {
  sigset_t stop;
  ::sigemptyset(&stop);
  ::sigaddset(&stop, SIGTERM);
  ::sigaddset(&stop, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  const auto interval = std::chrono::nanoseconds(static_cast<std::int64_t>(intervalSeconds * 1e9));
  for (;;) {
    poll();
    timespec wait{static_cast<time_t>(interval.count() / 1'000'000'000),
                  static_cast<long>(interval.count() % 1'000'000'000)};
    int signal = ::sigtimedwait(&stop, nullptr, &wait);
    if (signal == SIGTERM || signal == SIGINT) {
      say(std::string("received ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") +
          "; stopping every daemon");
      stopAll();
      return 0;
    }
  }
}

}  // namespace dravik::platform::sim
