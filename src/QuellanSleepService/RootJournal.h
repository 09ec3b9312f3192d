#pragma once
// RootJournal: the daemon's SleepJournalStore, one small JSON file in a directory that only
// root can reach.
//
// The directory is opened once, checked (owned by root, mode exactly 0700) and from then on
// the file is reached only relative to that descriptor. load() refuses anything but a
// regular, root-owned, single-linked, mode 0600 file of 1 to 4096 bytes, and never follows
// a symbolic link. save() writes a temporary ".recovery-<UUID>", flushes it fully, renames
// it over "recovery.json" and flushes the directory, so a reader sees the old record or the
// new one, never a mix. Nothing is ever repaired: a wrong owner or mode is reported and
// left as it is.
//
// Errors: ServiceFailure with the user-facing text; a failed mkdir as std::system_error with
// its errno; JSON decoding errors as nlohmann::json's own exceptions, unchanged.
//
// Ownership: owns the directory descriptor from construction to destruction; every call
// closes what it opened. `system` is not owned and must outlive the store.
// Thread confinement: not thread-safe; the daemon calls it on its main queue only.

#include <optional>
#include <string>
#include <string_view>

#include "QuellanServiceCore/SleepSetting.h"
#include "QuellanSleepService/JournalSystemCalls.h"

namespace quellan {

class RootJournal : public SleepJournalStore {
 public:
  // The journal's home on the machine, before resolution inside the machine root.
  static constexpr std::string_view kDirectoryPath =
      "/Library/Application Support/dravik.compatibility";
  static constexpr std::string_view kName = "recovery.json";
  // Larger files are refused.
  static constexpr long kMaxSize = 4096;

  // kDirectoryPath inside the machine root.
  static std::string defaultDirectory();

  // Creates the directory (mode 0700) when it is missing, opens and checks it. Throws
  // ServiceFailure when not run as root or when the directory is not private to root, and
  // std::system_error when it cannot be created.
  explicit RootJournal(const std::string& directoryPath = defaultDirectory(),
                       JournalSystemCalls& system = JournalSystemCalls::posix());
  ~RootJournal() override;

  std::optional<SleepJournal> load() override;
  void save(const SleepJournal& journal) override;
  void clear() override;

 private:
  JournalSystemCalls& system_;
  int directory_ = -1;
  std::string name_;
};

// The file's bytes: compact JSON, "schema" first, no trailing newline.
std::string encodeJournal(const SleepJournal& journal);
// Both members required ("schema" an integer number, "originalDisabled" a boolean); other
// members ignored. A schema written as a fraction (1.5) is a type error; an integer outside
// the 64-bit range, or written as a float from 2^53 on (where doubles lose integers), is an
// out-of-range error; an integral float (1.0, 2e0) counts as that integer.
// Throws nlohmann::json::exception subclasses.
SleepJournal decodeJournal(std::string_view bytes);

}  // namespace quellan
