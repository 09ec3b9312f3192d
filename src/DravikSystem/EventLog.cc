#include "DravikSystem/EventLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace dravik {

namespace {

// Closes its descriptor on every path.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

bool isAbsolute(const std::optional<std::string>& path) {
  return path.has_value() && !path->empty() && path->front() == '/';
}

// mkdir -p with 0700 for every directory it creates; errors are left to the open below.
void makeDirectories(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0700) == 0) {
      // The umask may have taken bits away; a directory we make is exactly 0700.
      ::chmod(prefix.c_str(), 0700);
    }
    if (slash == std::string::npos) return;
  }
}

// Moves `from` to `to` unless `to` exists: an earlier rotation in the same second must not
// be overwritten.
void moveWithoutReplacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) return;
  // File systems without RENAME_NOREPLACE: a hard link fails when `to` exists.
  if (::link(from.c_str(), to.c_str()) == 0) ::unlink(from.c_str());
}

void writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    done += static_cast<std::size_t>(wrote);
  }
}

}  // namespace

EventLogContext EventLogContext::process() {
  return EventLogContext{
      [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        if (value == nullptr) return std::nullopt;
        return std::string(value);
      },
      [] { return static_cast<std::int64_t>(std::time(nullptr)); },
      [] { return static_cast<std::int64_t>(::getpid()); },
  };
}

std::optional<std::string> EventLog::directory(const EventLogContext& context) {
  std::optional<std::string> base = context.environment("XDG_DATA_HOME");
  if (!isAbsolute(base)) {
    const std::optional<std::string> home = context.environment("HOME");
    if (!isAbsolute(home)) return std::nullopt;
    base = *home + "/.local/share";
  }
  while (base->size() > 1 && base->back() == '/') base->pop_back();
  return (*base == "/" ? std::string() : *base) + "/Dravik";
}

std::string EventLog::timestamp(std::int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  if (::gmtime_r(&time, &utc) == nullptr) return "1970-01-01T00:00:00Z";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

void EventLog::write(const std::string& message) { write(message, EventLogContext::process()); }

void EventLog::write(const std::string& message, const EventLogContext& context) {
  const std::optional<std::string> folder = directory(context);
  if (!folder) return;
  makeDirectories(*folder);
  const std::string path = *folder + "/events.log";

  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && status.st_size > kRotationBytes) {
    moveWithoutReplacing(path, *folder + "/events-" + std::to_string(context.now()) + ".log");
  }

  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::fchmod(fd, 0600);  // exactly 0600 whatever the umask
  } else if (errno == EEXIST) {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  }
  if (fd < 0) return;
  Descriptor file(fd);

  // O_APPEND makes the seek to the end and the write one step, so concurrent writers
  // never overwrite each other's records.
  writeAll(file.get(), timestamp(context.now()) + " pid=" + std::to_string(context.processId()) +
                           " " + message + "\n");
}

}  // namespace dravik
