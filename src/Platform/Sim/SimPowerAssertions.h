#pragma once
// Power assertions on the simulated MacBook: the state file's assertion table. An
// assertion with a positive "TimeoutSeconds" and "TimeoutAction" = "TimeoutActionRelease"
// lapses by itself once the simulated continuous clock reaches its last renewal plus the
// timeout; setting "TimeoutSeconds" renews it. Thread-safe.

#include <string>

#include "Platform/PowerAssertions.h"
#include "Platform/Sim/MachineState.h"

namespace dravik::platform::sim {

class SimPowerAssertions : public PowerAssertions {
 public:
  SimPowerAssertions();  // the machine named by DRAVIK_MACHINE
  explicit SimPowerAssertions(std::string root);

  // kReturnBadArgument without a string "AssertType" or with a "TimeoutSeconds" that is not
  // a number; the "assertionCreateReturns" fault's code when set.
  std::int32_t create(const AssertionProperties& properties, std::uint32_t* id) override;
  // kReturnNotFound for an unknown, released or lapsed id.
  std::int32_t setProperty(std::uint32_t id, const std::string& key,
                           const AssertionValue& value) override;
  // kReturnNotFound for an unknown, released or lapsed id.
  std::int32_t release(std::uint32_t id) override;
  bool exists(std::uint32_t id) override;

 private:
  MachineState state_;
};

}  // namespace dravik::platform::sim
