#pragma once
// In-memory SleepJournalStore for tests: holds at most one record, records every call in
// order, and has switches to fail load, save or clear.
//
//   FakeJournalStore journal;                    // empty
//   journal.setRecord(SleepJournal(2, false));   // as if an unknown version were on disk
//   journal.failNextSave(std::system_error(...));
//   EXPECT_THAT(journal.calls(), ElementsAre("load", "save(1,false)", "clear"));
//
// Calls are recorded as "load", "save(<schema>,<true|false>)" and "clear", failed ones
// included. A failing call throws the given exception (any type) and changes nothing, as
// the store's contract asks. Not thread-safe.

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "QuellanServiceCore/SleepSetting.h"

namespace quellan {

class FakeJournalStore : public SleepJournalStore {
 public:
  explicit FakeJournalStore(std::optional<SleepJournal> record = std::nullopt) : record_(record) {}

  std::optional<SleepJournal> load() override;
  void save(const SleepJournal& journal) override;
  void clear() override;

  // The record held ("on disk").
  const std::optional<SleepJournal>& record() const { return record_; }
  void setRecord(std::optional<SleepJournal> record) { record_ = record; }

  // Every call so far, in order.
  const std::vector<std::string>& calls() const { return calls_; }
  void clearCalls() { calls_.clear(); }
  // Also appends every call to `log` (not owned; nullptr stops).
  void alsoRecordInto(std::vector<std::string>* log) { sharedLog_ = log; }

  // The next call (or every call until stopFailing()) of that kind throws `error`.
  void failNextLoad(std::exception_ptr error) { loadFailure_ = {std::move(error), false}; }
  void failEveryLoad(std::exception_ptr error) { loadFailure_ = {std::move(error), true}; }
  void failNextSave(std::exception_ptr error) { saveFailure_ = {std::move(error), false}; }
  void failEverySave(std::exception_ptr error) { saveFailure_ = {std::move(error), true}; }
  void failNextClear(std::exception_ptr error) { clearFailure_ = {std::move(error), false}; }
  void failEveryClear(std::exception_ptr error) { clearFailure_ = {std::move(error), true}; }
  template <class Error>
  void failNextLoad(Error error) {
    failNextLoad(std::make_exception_ptr(std::move(error)));
  }
  template <class Error>
  void failEveryLoad(Error error) {
    failEveryLoad(std::make_exception_ptr(std::move(error)));
  }
  template <class Error>
  void failNextSave(Error error) {
    failNextSave(std::make_exception_ptr(std::move(error)));
  }
  template <class Error>
  void failEverySave(Error error) {
    failEverySave(std::make_exception_ptr(std::move(error)));
  }
  template <class Error>
  void failNextClear(Error error) {
    failNextClear(std::make_exception_ptr(std::move(error)));
  }
  template <class Error>
  void failEveryClear(Error error) {
    failEveryClear(std::make_exception_ptr(std::move(error)));
  }
  // Clears every failure switch.
  void stopFailing();

 private:
  struct Failure {
    std::exception_ptr error;
    bool every = false;
  };
  void record(std::string call);
  static void throwIfFailing(Failure& failure);

  std::optional<SleepJournal> record_;
  std::vector<std::string> calls_;
  std::vector<std::string>* sharedLog_ = nullptr;
  Failure loadFailure_;
  Failure saveFailure_;
  Failure clearFailure_;
};

}  // namespace quellan
