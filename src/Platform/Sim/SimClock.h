#pragma once
// The simulated MacBook's clocks: the real ones (CLOCK_BOOTTIME, CLOCK_MONOTONIC) plus the
// offsets in its state file, re-read on every call, so a test moves time by moving the
// offsets (`dravik-machine clock advance`). sleepFor() really sleeps. Thread-safe.

#include <mutex>
#include <string>

#include "Platform/Clock.h"
#include "Platform/Sim/MachineState.h"

namespace dravik::platform::sim {

class SimClock : public Clock {
 public:
  SimClock();  // the machine named by DRAVIK_MACHINE
  explicit SimClock(std::string root);

  // When the state cannot be read, the clock settings last read (none at first) are used.
  double continuousSeconds() override;
  double uptimeSeconds() override;
  void sleepFor(double seconds) override;

 private:
  // The machine with the clock settings last read.
  Machine refreshed();

  MachineState state_;
  std::mutex mutex_;
  Machine last_;
};

}  // namespace dravik::platform::sim
