#include "Platform/Sim/SimPowerSources.h"

#include <exception>
#include <utility>

namespace dravik::platform::sim {

SimPowerSources::SimPowerSources() = default;
SimPowerSources::SimPowerSources(std::string root) : state_(std::move(root)) {}

std::optional<PowerSourcesInfo> SimPowerSources::copyInfo() {
  try {
    Machine machine = state_.read();
    if (machine.faults.powerSourcesAbsent) return std::nullopt;
    return PowerSourcesInfo{machine.powerSources.providingType, machine.powerSources.sources};
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace dravik::platform::sim
