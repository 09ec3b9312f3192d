#include "QuellanServiceCore/Fakes/FakeSleepSetting.h"

namespace quellan {

void FakeSleepSetting::record(std::string call) {
  if (sharedLog_ != nullptr) sharedLog_->push_back(call);
  calls_.push_back(std::move(call));
}

void FakeSleepSetting::throwIfFailing(Failure& failure) {
  if (!failure.error) return;
  std::exception_ptr error = failure.error;
  if (!failure.every) failure.error = nullptr;
  std::rethrow_exception(error);
}

bool FakeSleepSetting::read() {
  record("read");
  throwIfFailing(readFailure_);
  return misreported_.value_or(disabled_);
}

void FakeSleepSetting::write(bool disabled) {
  record(disabled ? "write(true)" : "write(false)");
  throwIfFailing(writeFailure_);
  if (!ignoreWrites_) disabled_ = disabled;
}

void FakeSleepSetting::stopFailing() {
  readFailure_ = {};
  writeFailure_ = {};
}

}  // namespace quellan
