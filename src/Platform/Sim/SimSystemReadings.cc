#include "Platform/Sim/SimSystemReadings.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace dravik::platform::sim {

SimThermalState::SimThermalState() = default;
SimThermalState::SimThermalState(std::string root) : state_(std::move(root)) {}

int SimThermalState::thermalState() {
  try {
    return state_.read().thermalState;
  } catch (const std::exception&) {
    return -1;
  }
}

SimConsoleUser::SimConsoleUser() = default;
SimConsoleUser::SimConsoleUser(std::string root) : state_(std::move(root)) {}

std::uint32_t SimConsoleUser::consoleUid() {
  try {
    return state_.read().consoleUid;
  } catch (const std::exception&) {
    return 0;
  }
}

SimRunningApplications::SimRunningApplications() = default;
SimRunningApplications::SimRunningApplications(std::string root) : state_(std::move(root)) {}

bool SimRunningApplications::isRunning(const std::string& bundleIdentifier) {
  try {
    const auto apps = state_.read().runningApplications;
    return std::find(apps.begin(), apps.end(), bundleIdentifier) != apps.end();
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace dravik::platform::sim
