#pragma once
// JournalSystemCalls: every system call the root journal makes, behind one seam, so that a
// test can wrap the real calls and fail the n-th write or fsync with EIO or ENOSPC.
//
// Contract: each operation behaves like the POSIX call of the same name. It returns what the
// call returns, and on failure -1 with errno set (as the call would). An implementation
// that injects a failure must set errno itself. Nothing here throws.
//
// fullFlush(fd) forces the file's data through the drive's own cache: fcntl(F_FULLFSYNC) on
// macOS; elsewhere, where no such command exists, fdatasync.
//
// Ownership: RootJournal holds its JournalSystemCalls by reference and does not own it.
// posix() is a process-wide instance that lives until exit. Not thread-safe beyond what the
// calls themselves are.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace quellan {

class JournalSystemCalls {
 public:
  JournalSystemCalls() = default;
  JournalSystemCalls(const JournalSystemCalls&) = delete;
  JournalSystemCalls& operator=(const JournalSystemCalls&) = delete;
  virtual ~JournalSystemCalls() = default;

  virtual uid_t geteuid() = 0;
  virtual int mkdir(const char* path, mode_t mode) = 0;
  virtual int open(const char* path, int flags) = 0;
  virtual int openat(int directory, const char* name, int flags, mode_t mode) = 0;
  virtual int fstat(int fd, struct stat* status) = 0;
  virtual ssize_t read(int fd, void* buffer, std::size_t count) = 0;
  virtual ssize_t write(int fd, const void* buffer, std::size_t count) = 0;
  virtual int fsync(int fd) = 0;
  virtual int fullFlush(int fd) = 0;
  virtual int renameat(int fromDirectory, const char* from, int toDirectory, const char* to) = 0;
  virtual int unlinkat(int directory, const char* name, int flags) = 0;
  virtual int close(int fd) = 0;

  // The real calls.
  static JournalSystemCalls& posix();
};

// Forwards every call to `target` (not owned). Derive from it and override the one call to
// break, as fault-injection tests do.
class JournalSystemCallsWrapper : public JournalSystemCalls {
 public:
  explicit JournalSystemCallsWrapper(JournalSystemCalls& target = JournalSystemCalls::posix())
      : target_(target) {}

  uid_t geteuid() override { return target_.geteuid(); }
  int mkdir(const char* path, mode_t mode) override { return target_.mkdir(path, mode); }
  int open(const char* path, int flags) override { return target_.open(path, flags); }
  int openat(int directory, const char* name, int flags, mode_t mode) override {
    return target_.openat(directory, name, flags, mode);
  }
  int fstat(int fd, struct stat* status) override { return target_.fstat(fd, status); }
  ssize_t read(int fd, void* buffer, std::size_t count) override {
    return target_.read(fd, buffer, count);
  }
  ssize_t write(int fd, const void* buffer, std::size_t count) override {
    return target_.write(fd, buffer, count);
  }
  int fsync(int fd) override { return target_.fsync(fd); }
  int fullFlush(int fd) override { return target_.fullFlush(fd); }
  int renameat(int fromDirectory, const char* from, int toDirectory, const char* to) override {
    return target_.renameat(fromDirectory, from, toDirectory, to);
  }
  int unlinkat(int directory, const char* name, int flags) override {
    return target_.unlinkat(directory, name, flags);
  }
  int close(int fd) override { return target_.close(fd); }

 private:
  JournalSystemCalls& target_;
};

}  // namespace quellan
