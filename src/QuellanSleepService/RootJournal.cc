#include "QuellanSleepService/RootJournal.h"

#include <fcntl.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <utility>

#include "Platform/MachineRoot.h"
#include "QuellanServiceCore/ServiceFailure.h"
#include "QuellanServiceCore/Uuid.h"

namespace quellan {
namespace {

constexpr const char* kNeedsRoot = "兼容服务需要 macOS 管理员授权";
constexpr const char* kDirectoryInvalid = "兼容组件恢复目录权限异常，请联系支持";
constexpr const char* kCannotRead = "无法读取兼容组件恢复记录";
constexpr const char* kFileInvalid = "兼容组件恢复记录权限或格式异常，请联系支持";
constexpr const char* kCannotSave = "无法保存兼容组件恢复记录";
constexpr const char* kCannotSaveSafely = "无法安全保存兼容组件恢复记录";
constexpr const char* kCannotClear = "无法清除兼容组件恢复记录";

// errno as the platform's POSIX error; a value that is no error code becomes EIO.
std::system_error posixError(int error) {
  return std::system_error(std::error_code(error > 0 ? error : EIO, std::generic_category()));
}

// Closes a descriptor opened through the seam when the scope ends.
class Descriptor {
 public:
  Descriptor(JournalSystemCalls& system, int fd) : system_(system), fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { system_.close(fd_); }
  int get() const { return fd_; }

 private:
  JournalSystemCalls& system_;
  int fd_;
};

// The temporary file of one save: closed and then unlinked on every way out. After a
// successful rename the name is gone and the unlink fails harmlessly.
class TemporaryFile {
 public:
  TemporaryFile(JournalSystemCalls& system, int directory, std::string name, int fd)
      : system_(system), directory_(directory), name_(std::move(name)), fd_(fd) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    system_.close(fd_);
    system_.unlinkat(directory_, name_.c_str(), 0);
  }
  int get() const { return fd_; }
  const std::string& name() const { return name_; }

 private:
  JournalSystemCalls& system_;
  int directory_;
  std::string name_;
  int fd_;
};

std::int64_t decodeSchema(const nlohmann::json& schema) {
  using Limits = std::numeric_limits<std::int64_t>;
  if (schema.is_number_unsigned()) {
    const auto value = schema.get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(Limits::max())) {
      throw nlohmann::json::out_of_range::create(406, "schema is out of range", &schema);
    }
    return static_cast<std::int64_t>(value);
  }
  if (schema.is_number_float()) {
    const double value = schema.get<double>();
    if (std::trunc(value) != value) {
      throw nlohmann::json::type_error::create(302, "schema must be an integer, but is a fraction",
                                               &schema);
    }
    // From 2^53 on a double no longer tells which integer was written (-9223372036854775809
    // reads as -2^63), so such a schema is refused rather than guessed.
    if (std::fabs(value) >= 9007199254740992.0) {
      throw nlohmann::json::out_of_range::create(406, "schema is out of range", &schema);
    }
    return static_cast<std::int64_t>(value);
  }
  // get() would turn true into 1; a schema must be a number.
  if (!schema.is_number_integer()) {
    throw nlohmann::json::type_error::create(
        302, std::string("type must be number, but is ") + schema.type_name(), &schema);
  }
  return schema.get<std::int64_t>();
}

}  // namespace

std::string RootJournal::defaultDirectory() {
  return dravik::platform::machinePath(kDirectoryPath);
}

RootJournal::RootJournal(const std::string& directoryPath, JournalSystemCalls& system)
    : system_(system), name_(kName) {
  if (system_.geteuid() != 0) throw ServiceFailure(kNeedsRoot);
  if (system_.mkdir(directoryPath.c_str(), 0700) != 0 && errno != EEXIST) {
    throw posixError(errno);
  }
  directory_ = system_.open(directoryPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat status {};
  const bool accepted = directory_ >= 0 && system_.fstat(directory_, &status) == 0 &&
                        status.st_uid == 0 && (status.st_mode & 0777) == 0700;
  if (!accepted) {
    if (directory_ >= 0) system_.close(directory_);
    throw ServiceFailure(kDirectoryInvalid);
  }
}

RootJournal::~RootJournal() { system_.close(directory_); }

std::optional<SleepJournal> RootJournal::load() {
  // O_NONBLOCK so that a FIFO or device in the file's place cannot hang the daemon in open
  // (it is refused below as not regular); O_NOCTTY so that a terminal there never becomes
  // the daemon's controlling terminal. Neither changes how a regular file is read.
  const int fd = system_.openat(directory_, name_.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw ServiceFailure(kCannotRead);
  }
  Descriptor file(system_, fd);

  struct stat status {};
  const bool accepted = system_.fstat(file.get(), &status) == 0 && status.st_uid == 0 &&
                        status.st_nlink == 1 && S_ISREG(status.st_mode) &&
                        (status.st_mode & 0777) == 0600 && status.st_size >= 1 &&
                        status.st_size <= kMaxSize;
  if (!accepted) throw ServiceFailure(kFileInvalid);

  const auto size = static_cast<std::size_t>(status.st_size);
  std::string bytes(size, '\0');
  const ssize_t count = system_.read(file.get(), bytes.data(), size);
  if (count < 0 || static_cast<std::size_t>(count) != size) throw ServiceFailure(kCannotRead);
  return decodeJournal(bytes);
}

void RootJournal::save(const SleepJournal& journal) {
  std::string temporaryName = ".recovery-" + Uuid::random().string();
  const int fd = system_.openat(directory_, temporaryName.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw ServiceFailure(kCannotSave);
  TemporaryFile temporary(system_, directory_, std::move(temporaryName), fd);

  const std::string bytes = encodeJournal(journal);
  const ssize_t written = system_.write(temporary.get(), bytes.data(), bytes.size());
  if (written < 0 || static_cast<std::size_t>(written) != bytes.size()) {
    throw ServiceFailure(kCannotSaveSafely);
  }
  if (system_.fsync(temporary.get()) != 0 || system_.fullFlush(temporary.get()) != 0) {
    throw ServiceFailure(kCannotSaveSafely);
  }
  if (system_.renameat(directory_, temporary.name().c_str(), directory_, name_.c_str()) != 0) {
    throw ServiceFailure(kCannotSaveSafely);
  }
  if (system_.fsync(directory_) != 0) throw ServiceFailure(kCannotSaveSafely);
}

void RootJournal::clear() {
  if (system_.unlinkat(directory_, name_.c_str(), 0) != 0 && errno != ENOENT) {
    throw ServiceFailure(kCannotClear);
  }
  if (system_.fsync(directory_) != 0) throw ServiceFailure(kCannotClear);
}

std::string encodeJournal(const SleepJournal& journal) {
  nlohmann::ordered_json value;
  value["schema"] = journal.schema;
  value["originalDisabled"] = journal.originalDisabled;
  return value.dump();
}

SleepJournal decodeJournal(std::string_view bytes) {
  const nlohmann::json value = nlohmann::json::parse(bytes);
  const std::int64_t schema = decodeSchema(value.at("schema"));
  const bool originalDisabled = value.at("originalDisabled").get<bool>();
  return SleepJournal(schema, originalDisabled);
}

}  // namespace quellan
