#pragma once
// Power assertions: named requests that keep the machine from (idle) sleep. An assertion
// made with a timeout and the release action lapses by itself when the timeout passes
// without being restarted.

#include <cstdint>
#include <map>
#include <string>
#include <variant>

namespace dravik::platform {

using AssertionValue = std::variant<std::int64_t, double, std::string>;
using AssertionProperties = std::map<std::string, AssertionValue>;

class PowerAssertions {
 public:
  PowerAssertions() = default;
  PowerAssertions(const PowerAssertions&) = delete;
  PowerAssertions& operator=(const PowerAssertions&) = delete;
  virtual ~PowerAssertions() = default;

  // Creates an assertion. Returns 0 and stores its identifier, or a platform return code.
  virtual std::int32_t create(const AssertionProperties& properties, std::uint32_t* id) = 0;
  // Sets one property of a live assertion; setting "TimeoutSeconds" restarts its timeout.
  // Returns 0 or a platform return code (for instance when the assertion no longer exists).
  virtual std::int32_t setProperty(std::uint32_t id, const std::string& key,
                                   const AssertionValue& value) = 0;
  // Releases an assertion. Returns 0 or a platform return code.
  virtual std::int32_t release(std::uint32_t id) = 0;
  // True while the assertion exists (made and neither released nor lapsed).
  virtual bool exists(std::uint32_t id) = 0;
};

}  // namespace dravik::platform
