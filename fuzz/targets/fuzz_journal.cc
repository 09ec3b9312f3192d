// Fuzzes the recovery journal's decoder, both directly and through RootJournal::load over an
// in-memory file system that serves the input as "recovery.json". A record that decodes must
// come back unchanged through encodeJournal, and its encoding must be small enough to load.

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "FuzzSupport.h"
#include "QuellanServiceCore/ServiceFailure.h"
#include "QuellanSleepService/RootJournal.h"

namespace {

using dravik::fuzz::check;
using quellan::SleepJournal;

// A root-owned private directory holding one private file whose bytes are `contents`. Only what
// construction and load() call is served; everything else fails with EIO.
class OneFileSystem : public quellan::JournalSystemCalls {
 public:
  explicit OneFileSystem(std::string_view contents) : contents_(contents) {}

  uid_t geteuid() override { return 0; }
  int mkdir(const char*, mode_t) override { return fail(EEXIST); }
  int open(const char*, int) override { return kDirectory; }
  int openat(int, const char*, int, mode_t) override { return kFile; }
  int fstat(int fd, struct stat* status) override {
    *status = {};
    status->st_uid = 0;
    status->st_nlink = fd == kDirectory ? 2 : 1;
    status->st_mode = fd == kDirectory ? (S_IFDIR | 0700) : (S_IFREG | 0600);
    status->st_size = fd == kDirectory ? 4096 : static_cast<off_t>(contents_.size());
    return 0;
  }
  ssize_t read(int, void* buffer, std::size_t count) override {
    const std::size_t n = std::min(count, contents_.size());
    std::memcpy(buffer, contents_.data(), n);
    return static_cast<ssize_t>(n);
  }
  ssize_t write(int, const void*, std::size_t) override { return fail(EIO); }
  int fsync(int) override { return fail(EIO); }
  int fullFlush(int) override { return fail(EIO); }
  int renameat(int, const char*, int, const char*) override { return fail(EIO); }
  int unlinkat(int, const char*, int) override { return fail(EIO); }
  int close(int) override { return 0; }

 private:
  static constexpr int kDirectory = 3;
  static constexpr int kFile = 4;
  static int fail(int error) {
    errno = error;
    return -1;
  }
  std::string_view contents_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (dravik::fuzz::tooLarge(size)) return 0;
  const std::string_view bytes = dravik::fuzz::asText(data, size);

  std::optional<SleepJournal> decoded;
  try {
    decoded = quellan::decodeJournal(bytes);
  } catch (const nlohmann::json::exception&) {
  }

  if (decoded) {
    const std::string encoded = quellan::encodeJournal(*decoded);
    check(encoded.size() >= 1 && encoded.size() <= quellan::RootJournal::kMaxSize,
          "an encoded journal is too large to be loaded");
    check(quellan::decodeJournal(encoded) == *decoded, "journal changed through encodeJournal");
    check(quellan::encodeJournal(quellan::decodeJournal(encoded)) == encoded,
          "journal encoded twice differently");
  }

  // load() must give what the decoder gives for a file of acceptable size, and refuse others.
  OneFileSystem system(bytes);
  quellan::RootJournal journal("/journal", system);
  const bool loadable =
      size >= 1 && size <= static_cast<std::size_t>(quellan::RootJournal::kMaxSize);
  try {
    const std::optional<SleepJournal> loaded = journal.load();
    check(loadable && loaded && decoded && *loaded == *decoded,
          "load() disagrees with decodeJournal");
  } catch (const quellan::ServiceFailure&) {
    check(!loadable, "load() refused a file of acceptable size for other than its contents");
  } catch (const nlohmann::json::exception&) {
    check(loadable && !decoded, "load() failed to decode what decodeJournal accepts");
  }
  return 0;
}
