#pragma once
// In-memory power assertions for unit tests.
//
//   FakeClock clock;
//   FakePowerAssertions assertions(&clock);   // assertions lapse as `clock` moves
//   assertions.setCreateResult(kIOReturnNoMemory);  // every create() fails with that code
//   assertions.lapse(id);                     // the platform drops it now, as a timeout would
//
// An assertion made with "TimeoutSeconds" > 0 and "TimeoutAction" = "TimeoutActionRelease"
// lapses once the clock's uptime reaches the time of its creation, or of its last
// "TimeoutSeconds" update, plus that timeout. Without a clock nothing lapses by itself.
// Operations on an unknown or lapsed identifier return kNotFound. A forced result code
// (the set*Result switches) makes the operation fail without any effect. Every call is
// recorded. Thread-safe.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Clock.h"
#include "Platform/PowerAssertions.h"

namespace dravik::platform {

class FakePowerAssertions : public PowerAssertions {
 public:
  static constexpr std::int32_t kNotFound = static_cast<std::int32_t>(0xe00002f0);
  static constexpr std::uint32_t kFirstId = 101;

  struct Call {
    std::string operation;                // "create", "setProperty", "release" or "exists"
    std::uint32_t id = 0;                 // the identifier made ("create") or given
    AssertionProperties properties;       // "create" only
    std::string key;                      // "setProperty" only
    std::optional<AssertionValue> value;  // "setProperty" only
    std::int32_t result = 0;              // the code returned (1/0 for "exists")
  };

  explicit FakePowerAssertions(Clock* clock = nullptr) : clock_(clock) {}

  // Result codes forced on every later call of that kind; 0 (the default) means behave.
  void setCreateResult(std::int32_t code);
  void setSetPropertyResult(std::int32_t code);
  void setReleaseResult(std::int32_t code);
  // Drops an assertion as its timeout would.
  void lapse(std::uint32_t id);

  std::vector<Call> calls() const;
  // Identifiers of the assertions that exist now (after any lapse the clock brought).
  std::vector<std::uint32_t> liveIds();
  // The properties of a live assertion; absent when it does not exist.
  std::optional<AssertionProperties> properties(std::uint32_t id);

  std::int32_t create(const AssertionProperties& properties, std::uint32_t* id) override;
  std::int32_t setProperty(std::uint32_t id, const std::string& key,
                           const AssertionValue& value) override;
  std::int32_t release(std::uint32_t id) override;
  bool exists(std::uint32_t id) override;

 private:
  struct Live {
    AssertionProperties properties;
    std::optional<double> deadline;
  };

  void expireLocked();
  std::optional<double> deadlineLocked(const AssertionProperties& properties) const;

  Clock* clock_;
  mutable std::mutex mutex_;
  std::int32_t createResult_ = 0;
  std::int32_t setPropertyResult_ = 0;
  std::int32_t releaseResult_ = 0;
  std::uint32_t nextId_ = kFirstId;
  std::map<std::uint32_t, Live> live_;
  std::vector<Call> calls_;
};

}  // namespace dravik::platform
