#include "Platform/Sim/SimPowerRegistry.h"

#include <exception>
#include <utility>

namespace dravik::platform::sim {

SimPowerRegistry::SimPowerRegistry() = default;
SimPowerRegistry::SimPowerRegistry(std::string root) : state_(std::move(root)) {}

std::uint32_t SimPowerRegistry::matchRootDomain() {
  try {
    if (state_.read().faults.rootDomainMissing) return 0;
  } catch (const std::exception&) {
    return 0;
  }
  std::lock_guard lock(mutex_);
  std::uint32_t handle = nextHandle_++;
  services_.insert(handle);
  return handle;
}

std::int32_t SimPowerRegistry::open(std::uint32_t service, std::uint32_t* connection) {
  if (!knownService(service)) return kReturnBadArgument;
  try {
    std::int32_t code = state_.read().faults.openReturns;
    if (code != 0) return code;
  } catch (const std::exception&) {
    return kReturnError;
  }
  std::lock_guard lock(mutex_);
  std::uint32_t handle = nextHandle_++;
  connections_.insert(handle);
  *connection = handle;
  return 0;
}

void SimPowerRegistry::close(std::uint32_t connection) {
  std::lock_guard lock(mutex_);
  connections_.erase(connection);
}

void SimPowerRegistry::release(std::uint32_t service) {
  std::lock_guard lock(mutex_);
  services_.erase(service);
}

std::optional<PropertyValue> SimPowerRegistry::property(std::uint32_t service,
                                                        const std::string& name) {
  if (!knownService(service)) return std::nullopt;
  try {
    Machine machine = state_.read();
    auto it = machine.rootDomain.find(name);
    if (it == machine.rootDomain.end()) return std::nullopt;
    return it->second;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool SimPowerRegistry::knownService(std::uint32_t service) {
  std::lock_guard lock(mutex_);
  return services_.contains(service);
}

}  // namespace dravik::platform::sim
