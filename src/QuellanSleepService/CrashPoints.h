#pragma once
// Crash points: named places on the way to changing and restoring the sleep setting where
// a test can make the daemon die (SIGKILL) to prove that the journal brings the original
// setting back at the next start. Production builds reach them too; with no point armed
// they do nothing.
//
//   after-journal-save   the journal is durable, sleep not yet disabled
//   before-disable       about to run the tool to disable sleep
//   after-disable        the tool ran, the change not yet confirmed
//   before-restore       about to write the original value back
//   after-restore        written back, not yet confirmed
//   before-journal-clear confirmed, the journal not yet removed

#include <string>
#include <string_view>

#include "QuellanServiceCore/SleepSetting.h"

namespace quellan {

class CrashPoints {
 public:
  CrashPoints() = default;
  CrashPoints(const CrashPoints&) = delete;
  CrashPoints& operator=(const CrashPoints&) = delete;
  virtual ~CrashPoints() = default;
  virtual void reached(std::string_view name) = 0;
};

// Armed by a file holding one point's name; re-read at every point, so a test arms and
// disarms it while the daemon runs. Kills the process with SIGKILL at the armed point.
class FileCrashPoints : public CrashPoints {
 public:
  explicit FileCrashPoints(std::string path) : path_(std::move(path)) {}
  void reached(std::string_view name) override;

 private:
  std::string path_;
};

// A SleepSetting that passes every call on and marks the crash points around writes.
class CrashPointSleepSetting : public SleepSetting {
 public:
  CrashPointSleepSetting(SleepSetting& inner, CrashPoints& points)
      : inner_(inner), points_(points) {}
  bool read() override { return inner_.read(); }
  void write(bool disabled) override;

 private:
  SleepSetting& inner_;
  CrashPoints& points_;
};

// A SleepJournalStore that passes every call on and marks the crash points around it.
class CrashPointJournalStore : public SleepJournalStore {
 public:
  CrashPointJournalStore(SleepJournalStore& inner, CrashPoints& points)
      : inner_(inner), points_(points) {}
  std::optional<SleepJournal> load() override { return inner_.load(); }
  void save(const SleepJournal& journal) override;
  void clear() override;

 private:
  SleepJournalStore& inner_;
  CrashPoints& points_;
};

}  // namespace quellan
