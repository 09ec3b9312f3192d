#pragma once
// What the daemon's endpoints and its tick read besides the lease and the power driver:
// the main queue, the safety readings, daemon time and the log. Built once by the
// daemon's composition root; every reference outlives every endpoint.

#include <cstdint>

#include "DravikSystem/Power.h"
#include "Platform/Clock.h"
#include "Platform/Displays.h"
#include "Platform/MainQueue.h"
#include "Platform/PowerSources.h"
#include "Platform/SystemReadings.h"
#include "QuellanSleepService/DaemonLog.h"

namespace quellan {

// Daemon time: seconds on the continuous clock since the daemon took its epoch at start.
// Times are never stored across runs. Thread-safe (the clock seam is).
class DaemonClock {
 public:
  explicit DaemonClock(dravik::platform::Clock& clock)
      : clock_(clock), epoch_(clock.continuousSeconds()) {}
  double now() const { return clock_.continuousSeconds() - epoch_; }

 private:
  dravik::platform::Clock& clock_;
  double epoch_;
};

struct DaemonServices {
  dravik::platform::MainQueue& mainQueue;
  dravik::platform::PowerSources& powerSources;
  dravik::platform::Displays& displays;
  dravik::platform::ThermalState& thermal;
  dravik::platform::ConsoleUser& console;
  DaemonClock& clock;
  DaemonLogger& logger;
};

// Thermal states that still count as safe: nominal (0) and fair (1).
inline bool thermalStateSafe(int state) { return state < 2; }
// At or below this percentage on battery power the machine is not kept awake.
inline constexpr std::int64_t kLowestUnsafePercent = 10;
// The battery allows keeping the machine awake: its charge is known, and it is above
// kLowestUnsafePercent or the machine runs on external power.
inline bool batterySafe(const dravik::BatteryReading& battery) {
  return battery.percent && !(*battery.percent <= kLowestUnsafePercent && battery.onBattery);
}

}  // namespace quellan
