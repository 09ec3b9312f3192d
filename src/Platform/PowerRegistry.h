#pragma once
// The kernel's power-management registry: the root power domain and its properties.
//
// Shaped like the registry calls the power driver makes, so the driver's logic reads the
// same on every platform. Handles are small non-zero integers; 0 means "none".
// Implementations: Sim/ (the simulated MacBook), the in-memory fake for unit tests.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace dravik::platform {

// A registry property as read: a boolean, a number (integer or not) or a string. Anything
// the registry holds that is none of these is reported as absent.
using PropertyValue = std::variant<bool, std::int64_t, double, std::string>;

class PowerRegistry {
 public:
  PowerRegistry() = default;
  PowerRegistry(const PowerRegistry&) = delete;
  PowerRegistry& operator=(const PowerRegistry&) = delete;
  virtual ~PowerRegistry() = default;

  // The root power domain's service handle, or 0 when it cannot be matched.
  virtual std::uint32_t matchRootDomain() = 0;
  // Opens a user-client connection of type 0 to `service`. Returns 0 and stores the
  // connection handle on success; any other value is the platform's return code and
  // `*connection` is left unchanged.
  virtual std::int32_t open(std::uint32_t service, std::uint32_t* connection) = 0;
  // Closes a connection made by open(). Never fails.
  virtual void close(std::uint32_t connection) = 0;
  // Releases a handle returned by matchRootDomain(). Never fails.
  virtual void release(std::uint32_t service) = 0;
  // The current value of a property of `service`; absent when there is no such property
  // or it cannot be read. Never fails.
  virtual std::optional<PropertyValue> property(std::uint32_t service,
                                                const std::string& name) = 0;
};

}  // namespace dravik::platform
