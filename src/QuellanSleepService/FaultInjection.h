#pragma once
// FaultInjectingSystemCalls: the journal's system calls, forwarded to a target (the real
// calls by default), counted and logged, with one chosen call made to fail with an errno
// such as EIO or ENOSPC, either once or from then on every time.
//
//   FaultInjectingSystemCalls system;
//   RootJournal journal(directory, system);
//   system.failCall(3, EIO, FaultMode::kOnce);   // the 3rd call from now fails, then none
//   ...
//   system.stopFailing();
//
// Counting: every call but geteuid() counts (geteuid has no way to fail, so it is forwarded
// uncounted). count() is the number of counted calls since construction; failCall() numbers
// from the moment it is called, so a test can count a clean run and then fail each call in
// turn.
//
// An injected failure does not perform the call (nothing is written, renamed or unlinked),
// sets errno and returns -1 — with one exception: close() releases the descriptor and then
// reports the failure, as POSIX close does on EIO, so that injected faults never leak
// descriptors.
//
// Ownership: the target is not owned and must outlive this object. Not thread-safe.

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "QuellanSleepService/JournalSystemCalls.h"

namespace quellan {

enum class FaultMode {
  kOnce,     // only the chosen call fails
  kForever,  // the chosen call and every later one fail, until stopFailing()
};

// One counted call as the journal made it.
struct SystemCallRecord {
  std::string call;       // "openat", "write", "fsync", ...
  int fd = -1;            // the descriptor acted on (the directory for *at calls); -1 if none
  std::string name;       // the path or name argument (the target name for renameat); "" if none
  long result = 0;        // what the caller saw
  int error = 0;          // errno when result is negative
  bool injected = false;  // the failure was injected
};

class FaultInjectingSystemCalls : public JournalSystemCallsWrapper {
 public:
  using JournalSystemCallsWrapper::JournalSystemCallsWrapper;

  // The `nth` counted call from now (1 is the very next) fails with `error`; in kForever
  // mode every later call fails too. Replaces any earlier arrangement.
  void failCall(std::size_t nth, int error, FaultMode mode) {
    armed_ = true;
    failAt_ = count_ + nth;
    error_ = error;
    mode_ = mode;
  }
  // No further call fails.
  void stopFailing() { armed_ = false; }

  // Counted calls so far.
  std::size_t count() const { return count_; }
  // Failures injected so far.
  std::size_t injected() const { return injected_; }
  // Every counted call so far, in order.
  const std::vector<SystemCallRecord>& log() const { return log_; }

  uid_t geteuid() override { return JournalSystemCallsWrapper::geteuid(); }
  int mkdir(const char* path, mode_t mode) override {
    return perform("mkdir", -1, path, [&] { return JournalSystemCallsWrapper::mkdir(path, mode); });
  }
  int open(const char* path, int flags) override {
    return perform("open", -1, path, [&] { return JournalSystemCallsWrapper::open(path, flags); });
  }
  int openat(int directory, const char* name, int flags, mode_t mode) override {
    return perform("openat", directory, name,
                   [&] { return JournalSystemCallsWrapper::openat(directory, name, flags, mode); });
  }
  int fstat(int fd, struct stat* status) override {
    return perform("fstat", fd, "", [&] { return JournalSystemCallsWrapper::fstat(fd, status); });
  }
  ssize_t read(int fd, void* buffer, std::size_t count) override {
    return perform("read", fd, "",
                   [&] { return JournalSystemCallsWrapper::read(fd, buffer, count); });
  }
  ssize_t write(int fd, const void* buffer, std::size_t count) override {
    return perform("write", fd, "",
                   [&] { return JournalSystemCallsWrapper::write(fd, buffer, count); });
  }
  int fsync(int fd) override {
    return perform("fsync", fd, "", [&] { return JournalSystemCallsWrapper::fsync(fd); });
  }
  int fullFlush(int fd) override {
    return perform("fullFlush", fd, "", [&] { return JournalSystemCallsWrapper::fullFlush(fd); });
  }
  int renameat(int fromDirectory, const char* from, int toDirectory, const char* to) override {
    return perform("renameat", fromDirectory, to, [&] {
      return JournalSystemCallsWrapper::renameat(fromDirectory, from, toDirectory, to);
    });
  }
  int unlinkat(int directory, const char* name, int flags) override {
    return perform("unlinkat", directory, name,
                   [&] { return JournalSystemCallsWrapper::unlinkat(directory, name, flags); });
  }
  int close(int fd) override {
    // The descriptor is released even when the failure is injected.
    const int result = JournalSystemCallsWrapper::close(fd);
    const int error = errno;
    return perform("close", fd, "", [&] {
      errno = error;
      return result;
    });
  }

 private:
  template <class Call>
  auto perform(const char* call, int fd, const char* name, Call&& real) -> decltype(real()) {
    ++count_;
    const bool inject = armed_ && count_ >= failAt_;
    if (inject && mode_ == FaultMode::kOnce) armed_ = false;
    decltype(real()) result = -1;
    int error = error_;
    if (inject) {
      ++injected_;
    } else {
      result = real();
      error = errno;  // what the caller sees, kept across the logging below
    }
    log_.push_back({call, fd, name, static_cast<long>(result), result < 0 ? error : 0, inject});
    errno = error;
    return result;
  }

  std::size_t count_ = 0;
  std::size_t injected_ = 0;
  bool armed_ = false;
  std::size_t failAt_ = 0;
  int error_ = EIO;
  FaultMode mode_ = FaultMode::kOnce;
  std::vector<SystemCallRecord> log_;
};

}  // namespace quellan
