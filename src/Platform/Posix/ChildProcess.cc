#include "Platform/Posix/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
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

class SpawnActions {
 public:
  SpawnActions() {
    if (int error = posix_spawn_file_actions_init(&actions_)) throwErrno(error, "spawn actions");
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() {
    if (int error = posix_spawnattr_init(&attributes_)) throwErrno(error, "spawn attributes");
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

// A started child that leads its own process group. Until reap() has run, the child's
// process id (and so its group id) cannot be reused, which is what makes the group kills
// safe. Whatever path leaves the scope, the child is killed and reaped.
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

  SpawnActions actions;
  SpawnAttributes attributes;
  int error =
      posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (!error)
    error = posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO);
  if (!error) {
    error =
        posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (!error) error = posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
  if (error) throwErrno(error, "spawn actions");

  sigset_t noSignals;
  sigset_t allSignals;
  sigemptyset(&noSignals);
  sigfillset(&allSignals);
  error = posix_spawnattr_setflags(
      attributes.get(), POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (!error) error = posix_spawnattr_setpgroup(attributes.get(), 0);
  if (!error) error = posix_spawnattr_setsigmask(attributes.get(), &noSignals);
  if (!error) error = posix_spawnattr_setsigdefault(attributes.get(), &allSignals);
  if (error) throwErrno(error, "spawn attributes");

  pid_t pid = 0;
  error = ::posix_spawn(&pid, request.path.c_str(), actions.get(), attributes.get(), argv.data(),
                        envp.data());
  if (error) throwErrno(error, "posix_spawn " + request.path);
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
