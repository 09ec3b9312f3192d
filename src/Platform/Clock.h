#pragma once
// Time as the platform measures it. Core logic never reads a clock: callers pass `now`.
// Programs read it through this seam so the simulated MacBook can move its own time.

namespace dravik::platform {

class Clock {
 public:
  Clock() = default;
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;
  virtual ~Clock() = default;

  // Seconds on a clock that keeps counting while the machine sleeps.
  virtual double continuousSeconds() = 0;
  // Seconds since boot, not counting sleep.
  virtual double uptimeSeconds() = 0;
  // Blocks the calling thread for about `seconds`.
  virtual void sleepFor(double seconds) = 0;
};

}  // namespace dravik::platform
