#include "Platform/Sim/MachineState.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <system_error>
#include <utility>

#include "Platform/MachineRoot.h"
#include "Platform/Sim/Posix.h"

namespace dravik::platform::sim {
namespace {

constexpr mode_t kSharedDirectoryMode = 0777;
constexpr mode_t kSharedFileMode = 0666;

std::string readWhole(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throwPosixError("open " + path);
  std::string text;
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwPosixError("read " + path);
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

void writeAll(int fd, std::string_view text, const std::string& path) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throwPosixError("write " + path);
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// mkdir -p, leaving existing directories as they are.
void makeDirectories(const std::string& path, mode_t mode) {
  for (std::size_t slash = 1; slash != std::string::npos;) {
    slash = path.find('/', slash + 1);
    std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) throwPosixError("mkdir " + part);
  }
}

// Holds an exclusive flock on the lock file for its lifetime.
class StateLock {
 public:
  explicit StateLock(const std::string& path) {
    // Read-only is enough for flock, so any user can lock a file another user made.
    fd_ = UniqueFd(::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, kSharedFileMode));
    if (!fd_) throwPosixError("open " + path);
    // Best effort against the umask; only the owner can change the mode.
    (void)::fchmod(fd_.get(), kSharedFileMode);
    while (::flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) throwPosixError("flock " + path);
    }
  }
  // Closing the descriptor drops the lock.

 private:
  UniqueFd fd_;
};

}  // namespace

MachineState::MachineState() : root_(machineRoot()) {}
MachineState::MachineState(std::string root) : root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::string MachineState::directory() const { return root_ + "/var/db/dravik-machine"; }
std::string MachineState::statePath() const { return directory() + "/state.json"; }
std::string MachineState::lockPath() const { return directory() + "/state.lock"; }

Machine MachineState::read() const {
  Machine machine = machineFromJson(nlohmann::json::parse(readWhole(statePath())));
  settle(machine, continuousNow(machine));
  return machine;
}

Machine MachineState::update(const std::function<void(Machine&)>& change) {
  StateLock lock(lockPath());
  Machine machine = machineFromJson(nlohmann::json::parse(readWhole(statePath())));
  settle(machine, continuousNow(machine));
  change(machine);
  replaceFile(machine);
  return machine;
}

void MachineState::write(const Machine& machine) {
  const std::string dir = directory();
  struct stat info {};
  if (::stat(dir.c_str(), &info) != 0) {
    makeDirectories(dir, 0755);
    // Not affected by the umask: every user's processes change the machine.
    if (::chmod(dir.c_str(), kSharedDirectoryMode) != 0) throwPosixError("chmod " + dir);
  }
  StateLock lock(lockPath());
  replaceFile(machine);
}

void MachineState::replaceFile(const Machine& machine) const {
  const std::string dir = directory();
  const std::string text = toJson(machine).dump(2) + "\n";
  const std::string temporary = statePath() + ".tmp." + std::to_string(::getpid());
  try {
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) throwPosixError("open " + temporary);
    if (::fchmod(fd.get(), kSharedFileMode) != 0) throwPosixError("fchmod " + temporary);
    writeAll(fd.get(), text, temporary);
    if (::fsync(fd.get()) != 0) throwPosixError("fsync " + temporary);
    if (::rename(temporary.c_str(), statePath().c_str()) != 0) {
      throwPosixError("rename " + temporary);
    }
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  UniqueFd directoryFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directoryFd) throwPosixError("open " + dir);
  if (::fsync(directoryFd.get()) != 0) throwPosixError("fsync " + dir);
}

}  // namespace dravik::platform::sim
