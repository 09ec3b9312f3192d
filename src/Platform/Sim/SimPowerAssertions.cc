#include "Platform/Sim/SimPowerAssertions.h"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <utility>

namespace dravik::platform::sim {
namespace {

bool isNumber(const AssertionValue& value) { return !std::holds_alternative<std::string>(value); }

}  // namespace

SimPowerAssertions::SimPowerAssertions() = default;
SimPowerAssertions::SimPowerAssertions(std::string root) : state_(std::move(root)) {}

std::int32_t SimPowerAssertions::create(const AssertionProperties& properties, std::uint32_t* id) {
  auto type = properties.find("AssertType");
  if (type == properties.end() || !std::holds_alternative<std::string>(type->second)) {
    return kReturnBadArgument;
  }
  auto timeout = properties.find("TimeoutSeconds");
  if (timeout != properties.end() && !isNumber(timeout->second)) return kReturnBadArgument;
  std::int32_t code = 0;
  try {
    state_.update([&](Machine& machine) {
      if (machine.faults.assertionCreateReturns != 0) {
        code = machine.faults.assertionCreateReturns;
        return;
      }
      Assertion assertion;
      assertion.id = machine.nextAssertionId++;
      if (machine.nextAssertionId == 0) machine.nextAssertionId = 1;
      assertion.properties = properties;
      assertion.renewedAt = continuousNow(machine);
      assertion.pid = ::getpid();
      *id = assertion.id;
      machine.assertions.push_back(std::move(assertion));
    });
  } catch (const std::exception&) {
    return kReturnError;
  }
  return code;
}

std::int32_t SimPowerAssertions::setProperty(std::uint32_t id, const std::string& key,
                                             const AssertionValue& value) {
  if (key == "TimeoutSeconds" && !isNumber(value)) return kReturnBadArgument;
  std::int32_t code = 0;
  try {
    state_.update([&](Machine& machine) {
      if (machine.faults.assertionSetPropertyReturns != 0) {
        code = machine.faults.assertionSetPropertyReturns;
        return;
      }
      auto it = std::find_if(machine.assertions.begin(), machine.assertions.end(),
                             [id](const Assertion& a) { return a.id == id; });
      if (it == machine.assertions.end()) {
        code = kReturnNotFound;
        return;
      }
      it->properties[key] = value;
      if (key == "TimeoutSeconds") it->renewedAt = continuousNow(machine);
    });
  } catch (const std::exception&) {
    return kReturnError;
  }
  return code;
}

std::int32_t SimPowerAssertions::release(std::uint32_t id) {
  std::int32_t code = 0;
  try {
    state_.update([&](Machine& machine) {
      if (machine.faults.assertionReleaseReturns != 0) {
        code = machine.faults.assertionReleaseReturns;
        return;
      }
      if (std::erase_if(machine.assertions, [id](const Assertion& a) { return a.id == id; }) == 0) {
        code = kReturnNotFound;
      }
    });
  } catch (const std::exception&) {
    return kReturnError;
  }
  return code;
}

bool SimPowerAssertions::exists(std::uint32_t id) {
  try {
    return findAssertion(state_.read(), id) != nullptr;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace dravik::platform::sim
