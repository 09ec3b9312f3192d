#pragma once
// The simulated MacBook's power sources: the state file's "powerSources" section.
// Thread-safe.

#include <string>

#include "Platform/PowerSources.h"
#include "Platform/Sim/MachineState.h"

namespace dravik::platform::sim {

class SimPowerSources : public PowerSources {
 public:
  SimPowerSources();  // the machine named by DRAVIK_MACHINE
  explicit SimPowerSources(std::string root);

  // Absent when the state cannot be read or the "powerSourcesAbsent" fault is set.
  std::optional<PowerSourcesInfo> copyInfo() override;

 private:
  MachineState state_;
};

}  // namespace dravik::platform::sim
