#include "Platform/Posix/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <optional>
#include <system_error>
#include <thread>

namespace dravik::platform {

namespace {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

Deadline after(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(std::max(seconds, 0.0)));
}

// Milliseconds until `deadline`, rounded up so a poll never wakes just before it; 0 once
// it has passed.
int millisecondsUntil(Deadline deadline) {
  const auto left = std::chrono::duration<double, std::milli>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return static_cast<int>(std::min(std::ceil(left), 60'000.0));
}

[[noreturn]] void throwErrno(int error, const std::string& what) {
  throw std::system_error(error, std::system_category(), what);
}

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

class Child {
 public:
  explicit Child(pid_t pid)
      : pid_(pid), pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (reaped_) return;
    killGroup();
    if (waitForExit(after(1.0))) {
      reap();
    } else {
      reapInBackground();
    }
  }

  // True once the child has exited (it is left unreaped), false at the deadline.
  bool waitForExit(Deadline deadline) {
    for (;;) {
      siginfo_t info{};
      const int result =
          ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
      if (result == 0 && info.si_pid == pid_) return true;
      if (result != 0 && errno == ECHILD) return true;  // already reaped elsewhere
      const int wait = millisecondsUntil(deadline);
      if (wait == 0) return false;
      if (pidfd_.get() >= 0) {
        pollfd ready{pidfd_.get(), POLLIN, 0};
        ::poll(&ready, 1, wait);  // readable once the child has exited; EINTR just loops
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(wait, 5)));
      }
    }
  }

  // The group first, then the child itself in case it left the group.
  void killGroup() {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
  }

  // The child's wait status; absent when someone else reaped it.
  std::optional<int> reap() {
    reaped_ = true;
    int status = 0;
    for (;;) {
      const pid_t result = ::waitpid(pid_, &status, 0);
      if (result == pid_) return status;
      if (result < 0 && errno == EINTR) continue;
      return std::nullopt;
    }
  }

  // A child that did not die within the grace time (stuck in the kernel) is reaped by a
  // thread of its own, so no zombie stays behind and the caller does not wait.
  void reapInBackground() {
    reaped_ = true;
    std::thread([pid = pid_] {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  }

 private:
  pid_t pid_;
  Descriptor pidfd_;
  bool reaped_ = false;
};

// Reads up to limit + 1 bytes until end of file, giving up at the deadline.
void readOutput(int fd, std::size_t limit, Deadline deadline, ChildProcessResult& result) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    result.outputUnfinished = true;
    return;
  }
  std::string output;
  char buffer[8192];
  for (;;) {
    const std::size_t want = std::min(sizeof buffer, limit + 1 - output.size());
    const ssize_t got = ::read(fd, buffer, want);
    if (got > 0) {
      output.append(buffer, static_cast<std::size_t>(got));
      if (output.size() > limit) {
        output.resize(limit);
        result.outputOverLimit = true;
        break;
      }
      continue;
    }
    if (got == 0) break;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      result.outputUnfinished = true;
      break;
    }
    const int wait = millisecondsUntil(deadline);
    if (wait == 0) {
      result.outputUnfinished = true;
      break;
    }
    pollfd ready{fd, POLLIN, 0};
    ::poll(&ready, 1, wait);
  }
  result.output = std::move(output);
}

std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> list;
  list.reserve(strings.size() + 1);
  for (const auto& text : strings) list.push_back(const_cast<char*>(text.c_str()));
  list.push_back(nullptr);
  return list;
}

}  // namespace

ChildProcessResult runChildProcess(const ChildProcessRequest& request) {
  std::vector<std::string> argumentList{request.path};
  argumentList.insert(argumentList.end(), request.arguments.begin(), request.arguments.end());
  std::vector<char*> argv = pointers(argumentList);
  std::vector<char*> envp = pointers(request.environment);

  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throwErrno(errno, "pipe");
  Descriptor readEnd(ends[0]);
  Descriptor writeEnd(ends[1]);
  // A pipe squeezed to one page (when the user has many pipes) could not hold a report of
  // the size allowed; ask for room for it, best effort.
  const int capacity = ::fcntl(writeEnd.get(), F_GETPIPE_SZ);
  if (capacity >= 0 && static_cast<std::size_t>(capacity) <= request.outputLimit &&
      request.outputLimit < (1u << 20)) {
    ::fcntl(writeEnd.get(), F_SETPIPE_SZ, static_cast<int>(request.outputLimit + 1));
  }

  // fork + exec rather than posix_spawn: the child must also ask the kernel to kill it
  // when we die. A tool left running by a killed daemon could otherwise finish its change
  // after the restarted daemon has already restored the setting, leaving sleep disabled
  // with no journal to undo it. Between fork and exec only async-signal-safe calls.
  int report[2];  // the child's exec error, if any; closed by a successful exec
  if (::pipe2(report, O_CLOEXEC) != 0) throwErrno(errno, "pipe");
  Descriptor reportRead(report[0]);
  Descriptor reportWrite(report[1]);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throwErrno(errno, "fork " + request.path);
  if (pid == 0) {
    auto fail = [&](int error) {
      ssize_t ignored = ::write(report[1], &error, sizeof error);
      (void)ignored;
      ::_exit(127);
    };
    if (::setpgid(0, 0) != 0) fail(errno);
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail(errno);
    if (::getppid() != parent) ::_exit(127);  // the parent died before the request took
    const int in = ::open("/dev/null", O_RDONLY);
    const int err = ::open("/dev/null", O_WRONLY);
    if (in < 0 || err < 0) fail(errno);
    if (::dup2(in, STDIN_FILENO) < 0 || ::dup2(ends[1], STDOUT_FILENO) < 0 ||
        ::dup2(err, STDERR_FILENO) < 0) {
      fail(errno);
    }
    // Everything above 2 goes, except the report pipe, which exec closes (O_CLOEXEC).
    const unsigned keep = static_cast<unsigned>(report[1]);
    if (keep > STDERR_FILENO + 1) ::syscall(SYS_close_range, STDERR_FILENO + 1, keep - 1, 0);
    ::syscall(SYS_close_range, keep + 1, ~0U, 0);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(request.path.c_str(), argv.data(), envp.data());
    fail(errno);
  }
  reportWrite.reset();
  int execError = 0;
  ssize_t got;
  do {
    got = ::read(reportRead.get(), &execError, sizeof execError);
  } while (got < 0 && errno == EINTR);
  if (got == sizeof execError) {
    ::waitpid(pid, nullptr, 0);
    throwErrno(execError, "exec " + request.path);
  }
  Child child(pid);
  writeEnd.reset();  // only the child may hold the writing end, so its exit ends the output

  ChildProcessResult result;
  if (!child.waitForExit(after(request.timeoutSeconds))) {
    child.killGroup();
    if (child.waitForExit(after(request.graceSeconds))) {
      child.killGroup();  // anything the child left behind in its group
      child.reap();
    } else {
      child.reapInBackground();
    }
    result.ending = ChildProcessResult::Ending::kTimedOut;
    return result;
  }

  child.killGroup();  // the tool is done; helpers it left would hold the pipe open
  const std::optional<int> status = child.reap();
  if (status && WIFSIGNALED(*status)) {
    result.ending = ChildProcessResult::Ending::kSignaled;
    result.signal = WTERMSIG(*status);
    return result;
  }
  result.ending = ChildProcessResult::Ending::kExited;
  result.exitStatus = status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  if (result.exitStatus != 0) return result;

  readOutput(readEnd.get(), request.outputLimit, after(request.graceSeconds), result);
  return result;
}

}  // namespace dravik::platform
