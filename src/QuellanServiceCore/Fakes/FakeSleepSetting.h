#pragma once
// In-memory SleepSetting for tests: holds one value, records every call in order, and has
// switches to fail, misreport or ignore calls.
//
//   FakeSleepSetting setting;                        // sleep enabled (reads false)
//   setting.failNextWrite(std::runtime_error("x"));  // the next write throws that object
//   lease.begin(...);
//   EXPECT_THAT(setting.calls(), ElementsAre("read", "write(true)"));
//
// Calls are recorded as "read", "write(true)" and "write(false)", failed ones included.
// A failing call throws the given exception (any type) and changes nothing. Not
// thread-safe.

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "QuellanServiceCore/SleepSetting.h"

namespace quellan {

class FakeSleepSetting : public SleepSetting {
 public:
  explicit FakeSleepSetting(bool disabled = false) : disabled_(disabled) {}

  bool read() override;
  void write(bool disabled) override;

  // The value held (what a read returns unless misreported).
  bool value() const { return disabled_; }
  void setValue(bool disabled) { disabled_ = disabled; }

  // Every call so far, in order.
  const std::vector<std::string>& calls() const { return calls_; }
  void clearCalls() { calls_.clear(); }
  // Also appends every call to `log` (not owned; nullptr stops), so that the calls of
  // several fakes can be checked in one order.
  void alsoRecordInto(std::vector<std::string>* log) { sharedLog_ = log; }

  // The next read (or every read until stopFailing()) throws `error`.
  void failNextRead(std::exception_ptr error) { readFailure_ = {std::move(error), false}; }
  void failEveryRead(std::exception_ptr error) { readFailure_ = {std::move(error), true}; }
  // The next write (or every write until stopFailing()) throws `error`; the value stays.
  void failNextWrite(std::exception_ptr error) { writeFailure_ = {std::move(error), false}; }
  void failEveryWrite(std::exception_ptr error) { writeFailure_ = {std::move(error), true}; }
  template <class Error>
  void failNextRead(Error error) {
    failNextRead(std::make_exception_ptr(std::move(error)));
  }
  template <class Error>
  void failEveryRead(Error error) {
    failEveryRead(std::make_exception_ptr(std::move(error)));
  }
  template <class Error>
  void failNextWrite(Error error) {
    failNextWrite(std::make_exception_ptr(std::move(error)));
  }
  template <class Error>
  void failEveryWrite(Error error) {
    failEveryWrite(std::make_exception_ptr(std::move(error)));
  }
  // Clears every failure switch.
  void stopFailing();

  // Reads return `reported` instead of the held value (std::nullopt tells the truth again).
  void misreportReads(std::optional<bool> reported) { misreported_ = reported; }
  // Writes are recorded but leave the value unchanged, like a setting that does not stick.
  void ignoreWrites(bool ignore = true) { ignoreWrites_ = ignore; }

 private:
  struct Failure {
    std::exception_ptr error;
    bool every = false;
  };
  void record(std::string call);
  static void throwIfFailing(Failure& failure);

  bool disabled_;
  std::vector<std::string> calls_;
  std::vector<std::string>* sharedLog_ = nullptr;
  Failure readFailure_;
  Failure writeFailure_;
  std::optional<bool> misreported_;
  bool ignoreWrites_ = false;
};

}  // namespace quellan
