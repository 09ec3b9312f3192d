#include "QuellanServiceCore/Fakes/FakeJournalStore.h"

namespace quellan {

void FakeJournalStore::record(std::string call) {
  if (sharedLog_ != nullptr) sharedLog_->push_back(call);
  calls_.push_back(std::move(call));
}

void FakeJournalStore::throwIfFailing(Failure& failure) {
  if (!failure.error) return;
  std::exception_ptr error = failure.error;
  if (!failure.every) failure.error = nullptr;
  std::rethrow_exception(error);
}

std::optional<SleepJournal> FakeJournalStore::load() {
  record("load");
  throwIfFailing(loadFailure_);
  return record_;
}

void FakeJournalStore::save(const SleepJournal& journal) {
  record("save(" + std::to_string(journal.schema) + "," +
         (journal.originalDisabled ? "true" : "false") + ")");
  throwIfFailing(saveFailure_);
  record_ = journal;
}

void FakeJournalStore::clear() {
  record("clear");
  throwIfFailing(clearFailure_);
  record_.reset();
}

void FakeJournalStore::stopFailing() {
  loadFailure_ = {};
  saveFailure_ = {};
  clearFailure_ = {};
}

}  // namespace quellan
