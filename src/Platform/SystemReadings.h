#pragma once
// Small readings of the machine's state: heat, the user at the console, running apps.

#include <cstdint>
#include <string>

namespace dravik::platform {

// The process's view of the machine's thermal state: 0 nominal, 1 fair, 2 serious,
// 3 critical; other values are possible and mean "unknown".
class ThermalState {
 public:
  ThermalState() = default;
  ThermalState(const ThermalState&) = delete;
  ThermalState& operator=(const ThermalState&) = delete;
  virtual ~ThermalState() = default;
  virtual int thermalState() = 0;
};

// The user id of whoever is logged in at the console; 0 when nobody is (or root is).
class ConsoleUser {
 public:
  ConsoleUser() = default;
  ConsoleUser(const ConsoleUser&) = delete;
  ConsoleUser& operator=(const ConsoleUser&) = delete;
  virtual ~ConsoleUser() = default;
  virtual std::uint32_t consoleUid() = 0;
};

// Whether any application with the given bundle identifier is running.
class RunningApplications {
 public:
  RunningApplications() = default;
  RunningApplications(const RunningApplications&) = delete;
  RunningApplications& operator=(const RunningApplications&) = delete;
  virtual ~RunningApplications() = default;
  virtual bool isRunning(const std::string& bundleIdentifier) = 0;
};

}  // namespace dravik::platform
