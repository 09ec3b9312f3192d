#include "QuellanSleepService/JournalSystemCalls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace quellan {
namespace {

class PosixJournalSystemCalls final : public JournalSystemCalls {
 public:
  uid_t geteuid() override { return ::geteuid(); }
  int mkdir(const char* path, mode_t mode) override { return ::mkdir(path, mode); }
  int open(const char* path, int flags) override { return ::open(path, flags); }
  int openat(int directory, const char* name, int flags, mode_t mode) override {
    return ::openat(directory, name, flags, mode);
  }
  int fstat(int fd, struct stat* status) override { return ::fstat(fd, status); }
  ssize_t read(int fd, void* buffer, std::size_t count) override {
    return ::read(fd, buffer, count);
  }
  ssize_t write(int fd, const void* buffer, std::size_t count) override {
    return ::write(fd, buffer, count);
  }
  int fsync(int fd) override { return ::fsync(fd); }
  int fullFlush(int fd) override {
#ifdef __APPLE__
    return ::fcntl(fd, F_FULLFSYNC);
#else
    return ::fdatasync(fd);
#endif
  }
  int renameat(int fromDirectory, const char* from, int toDirectory, const char* to) override {
    return ::renameat(fromDirectory, from, toDirectory, to);
  }
  int unlinkat(int directory, const char* name, int flags) override {
    return ::unlinkat(directory, name, flags);
  }
  int close(int fd) override { return ::close(fd); }
};

}  // namespace

JournalSystemCalls& JournalSystemCalls::posix() {
  static PosixJournalSystemCalls calls;
  return calls;
}

}  // namespace quellan
