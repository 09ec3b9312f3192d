#pragma once
// The simulated MacBook's online displays: the state file's "displays" list. Thread-safe.

#include <string>

#include "Platform/Displays.h"
#include "Platform/Sim/MachineState.h"

namespace dravik::platform::sim {

class SimDisplays : public Displays {
 public:
  SimDisplays();  // the machine named by DRAVIK_MACHINE
  explicit SimDisplays(std::string root);

  // With null `ids`: the "displayCountFails" fault's code when set, else the number of
  // displays (or the "displayCount" fault's number). With `ids`: the "displayListFails"
  // fault's code when set, else the first `maxDisplays` identifiers. kDisplayErrorFailure
  // when the state cannot be read.
  std::int32_t onlineDisplayList(std::uint32_t maxDisplays, std::uint32_t* ids,
                                 std::uint32_t* count) override;
  bool isBuiltin(std::uint32_t id) override;

 private:
  MachineState state_;
};

}  // namespace dravik::platform::sim
