#pragma once
// The two seams through which the sleep lease reaches the machine, and the journal record.

#include <cstdint>
#include <optional>

namespace quellan {

// The recovery record: the system sleep setting as it was before the daemon changed it.
struct SleepJournal {
  std::int64_t schema = 1;
  bool originalDisabled = false;

  SleepJournal() = default;
  explicit SleepJournal(bool originalDisabled) : schema(1), originalDisabled(originalDisabled) {}
  SleepJournal(std::int64_t schema, bool originalDisabled)
      : schema(schema), originalDisabled(originalDisabled) {}
  friend bool operator==(const SleepJournal&, const SleepJournal&) = default;
};

// The machine-wide "sleep disabled" setting. Both operations may throw.
class SleepSetting {
 public:
  SleepSetting() = default;
  SleepSetting(const SleepSetting&) = delete;
  SleepSetting& operator=(const SleepSetting&) = delete;
  virtual ~SleepSetting() = default;

  // True when system sleep is disabled.
  virtual bool read() = 0;
  virtual void write(bool disabled) = 0;
};

// Durable storage of at most one SleepJournal. All operations may throw.
class SleepJournalStore {
 public:
  SleepJournalStore() = default;
  SleepJournalStore(const SleepJournalStore&) = delete;
  SleepJournalStore& operator=(const SleepJournalStore&) = delete;
  virtual ~SleepJournalStore() = default;

  // The stored record; absent when there is none.
  virtual std::optional<SleepJournal> load() = 0;
  // Stores durably, replacing any earlier record; after a failure the earlier state stands.
  virtual void save(const SleepJournal& journal) = 0;
  // Removes the record; succeeds when there is none.
  virtual void clear() = 0;
};

}  // namespace quellan
