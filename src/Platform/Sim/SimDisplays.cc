#include "Platform/Sim/SimDisplays.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace dravik::platform::sim {

SimDisplays::SimDisplays() = default;
SimDisplays::SimDisplays(std::string root) : state_(std::move(root)) {}

std::int32_t SimDisplays::onlineDisplayList(std::uint32_t maxDisplays, std::uint32_t* ids,
                                            std::uint32_t* count) {
  Machine machine;
  try {
    machine = state_.read();
  } catch (const std::exception&) {
    return kDisplayErrorFailure;
  }
  const auto online = static_cast<std::uint32_t>(machine.displays.size());
  if (ids == nullptr) {
    if (machine.faults.displayCountFails != 0) return machine.faults.displayCountFails;
    *count = machine.faults.displayCount.value_or(online);
    return 0;
  }
  if (machine.faults.displayListFails != 0) return machine.faults.displayListFails;
  const std::uint32_t filled = std::min(maxDisplays, online);
  for (std::uint32_t i = 0; i < filled; ++i) ids[i] = machine.displays[i].id;
  *count = filled;
  return 0;
}

bool SimDisplays::isBuiltin(std::uint32_t id) {
  try {
    for (const auto& display : state_.read().displays) {
      if (display.id == id) return display.builtin;
    }
  } catch (const std::exception&) {
  }
  return false;
}

}  // namespace dravik::platform::sim
