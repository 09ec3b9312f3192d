#include "QuellanSleepService/SleepDaemon.h"

#include <exception>

namespace quellan {

using dravik::platform::LogLevel;

SleepDaemon::SleepDaemon(SleepLease& lease, dravik::PowerDriver& power,
                         const DaemonServices& services)
    : lease_(lease), power_(power), services_(services) {}

bool SleepDaemon::safe() {
  dravik::BatteryReading battery = dravik::batteryReading(services_.powerSources);
  std::uint32_t consoleUid = services_.console.consoleUid();
  if (consoleUid == 0 || !batterySafe(battery)) return false;
  // Read last, and only when everything else already holds.
  return thermalStateSafe(services_.thermal.thermalState());
}

void SleepDaemon::tick() {
  if (!lease_.active() && !lease_.recoveryPending()) return;
  bool verdict = safe();
  double now = services_.clock.now();
  std::optional<bool> lidClosed = power_.boolProperty("AppleClamshellState");
  try {
    lease_.tick(now, lidClosed, verdict);
  } catch (const std::exception& error) {
    services_.logger.log(LogLevel::kError, "Restoration retry pending: %{public}s", error.what());
  }
}

int SleepDaemon::shutdown() {
  try {
    lease_.pauseAndRestore();
    return 0;
  } catch (const std::exception& error) {
    services_.logger.log(LogLevel::kFault, "Shutdown recovery retained on disk: %{public}s",
                         error.what());
    return 1;
  }
}

}  // namespace quellan
