#pragma once
// The open-lid keep-awake mode: keeps the machine from idle sleep while its lid is open, for as
// long as the user leaves the mode on, through a renewable idle assertion that lapses by itself
// leaseSeconds after its last renewal. It never touches the system sleep setting.
//
//   state    requested  lastRenewal        assertion
//   off      false      absent             not held
//   paused   true       absent             not held
//   running  true       last renewal time  held
//
// Every decision is taken in tick, in this order:
//   not requested                               → off, release
//   time not finite or lid unreadable           → off, lid-unreadable error
//   lid closed or system sleeping               → paused, release
//   30 s or more since renewal, or time went back → off, time-out error
//   held and under 5 s since renewal            → nothing
//   otherwise                                   → renew (a failure switches off)
// Pausing forgets the last renewal, so the watchdog never fires across a closed lid or a
// sleep: the first tick with the lid open and the system awake renews at once.
//
// Times are seconds on one clock of the caller's choosing; the session reads no clock.
// Not thread-safe: one owner calls it from one thread at a time.

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "DravikCore/TimedIdleAssertion.h"

namespace dravik {

// The session's own failure: one user-facing Chinese text, what() unchanged.
class OpenLidError : public std::exception {
 public:
  explicit OpenLidError(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }
  std::optional<std::string> errorDescription() const { return text_; }

 private:
  std::string text_;
};

class OpenLidSession {
 public:
  // A hold lapses by itself this long after its last renewal; a tick finding this much time
  // gone switches the mode off.
  static constexpr double leaseSeconds = 30;
  // A held assertion is renewed once this much time has passed since its last renewal.
  static constexpr double renewalSeconds = 5;

  static constexpr const char* kLidUnreadable = "无法读取合盖状态，开盖不休眠已关闭";
  static constexpr const char* kTimedOut = "开盖不休眠连接超时，请重新开启";

  // Owns the assertion for the session's whole life.
  explicit OpenLidSession(std::unique_ptr<TimedIdleAssertion> assertion);
  OpenLidSession(const OpenLidSession&) = delete;
  OpenLidSession& operator=(const OpenLidSession&) = delete;

  // Whether the mode is switched on.
  bool requested() const { return requested_; }
  // Whether the assertion is held.
  bool active() const { return assertion_->held(); }
  const TimedIdleAssertion& assertion() const { return *assertion_; }

  // Switches the mode on or off, then ticks. Throws OpenLidError or the assertion's error.
  void setEnabled(bool enabled, double now, std::optional<bool> lidClosed, bool systemSleeping);
  // `lidClosed` is absent when the lid cannot be read. Throws OpenLidError or the assertion's
  // error; after an OpenLidError the mode is off.
  void tick(double now, std::optional<bool> lidClosed, bool systemSleeping);
  // Switches the mode off and releases. Throws the assertion's error.
  void disable();

 private:
  // Off, then fails with `text`; a failing release raises its own error instead.
  [[noreturn]] void switchOffWith(const char* text);

  std::unique_ptr<TimedIdleAssertion> assertion_;
  bool requested_ = false;
  std::optional<double> lastRenewal_;
};

}  // namespace dravik
