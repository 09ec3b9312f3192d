#pragma once
// The root power domain of the simulated MacBook: its properties are the state file's
// "rootDomain" section, read afresh on every call. Handles are valid in this object only.
// Thread-safe.

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "Platform/PowerRegistry.h"
#include "Platform/Sim/MachineState.h"

namespace dravik::platform::sim {

class SimPowerRegistry : public PowerRegistry {
 public:
  SimPowerRegistry();  // the machine named by DRAVIK_MACHINE
  explicit SimPowerRegistry(std::string root);

  // 0 when the state cannot be read or the "rootDomainMissing" fault is set.
  std::uint32_t matchRootDomain() override;
  // The "openReturns" fault's code when set; kReturnBadArgument for an unknown service;
  // kReturnError when the state cannot be read.
  std::int32_t open(std::uint32_t service, std::uint32_t* connection) override;
  void close(std::uint32_t connection) override;
  void release(std::uint32_t service) override;
  // Absent for an unknown handle, a missing property or an unreadable state.
  std::optional<PropertyValue> property(std::uint32_t service, const std::string& name) override;

 private:
  bool knownService(std::uint32_t service);

  MachineState state_;
  std::mutex mutex_;
  std::uint32_t nextHandle_ = 0x2003;
  std::set<std::uint32_t> services_;
  std::set<std::uint32_t> connections_;
};

}  // namespace dravik::platform::sim
