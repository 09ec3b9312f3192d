#pragma once
// Thermal state, console user and running applications of the simulated MacBook, read
// afresh from its state file on every call. Thread-safe.

#include <string>

#include "Platform/Sim/MachineState.h"
#include "Platform/SystemReadings.h"

namespace dravik::platform::sim {

class SimThermalState : public ThermalState {
 public:
  SimThermalState();  // the machine named by DRAVIK_MACHINE
  explicit SimThermalState(std::string root);
  // -1 (unknown) when the state cannot be read.
  int thermalState() override;

 private:
  MachineState state_;
};

class SimConsoleUser : public ConsoleUser {
 public:
  SimConsoleUser();
  explicit SimConsoleUser(std::string root);
  // 0 (nobody) when the state cannot be read.
  std::uint32_t consoleUid() override;

 private:
  MachineState state_;
};

class SimRunningApplications : public RunningApplications {
 public:
  SimRunningApplications();
  explicit SimRunningApplications(std::string root);
  // False when the state cannot be read.
  bool isRunning(const std::string& bundleIdentifier) override;

 private:
  MachineState state_;
};

}  // namespace dravik::platform::sim
