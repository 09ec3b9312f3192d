#pragma once
// A renewable hold that keeps the machine from idle sleep and lapses by itself when it is
// not renewed in time. The open-lid session drives it; the system library implements it.

namespace dravik {

class TimedIdleAssertion {
 public:
  TimedIdleAssertion() = default;
  TimedIdleAssertion(const TimedIdleAssertion&) = delete;
  TimedIdleAssertion& operator=(const TimedIdleAssertion&) = delete;
  virtual ~TimedIdleAssertion() = default;

  // Whether a hold is currently owned.
  virtual bool held() const = 0;
  // Takes the hold, or refreshes the one owned. May throw.
  virtual void renew() = 0;
  // Gives the hold back; harmless when nothing is held. May throw.
  virtual void release() = 0;
};

}  // namespace dravik
