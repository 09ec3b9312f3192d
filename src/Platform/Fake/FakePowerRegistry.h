#pragma once
// In-memory root power domain for unit tests.
//
//   FakePowerRegistry registry;
//   registry.setProperty("AppleClamshellState", false);   // a Boolean
//   registry.setProperty("SleepDisabled", std::int64_t{1}); // a number: not a Boolean
//   registry.setMatchFails(true);                          // matchRootDomain() returns 0
//   registry.setOpenResult(-536870207);                    // open() fails with that code
//
// matchRootDomain() hands out kRootService, open() kConnection; close() and release()
// calls are recorded so a test can check that every handle was given back once.
// Thread-safe.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/PowerRegistry.h"

namespace dravik::platform {

class FakePowerRegistry : public PowerRegistry {
 public:
  static constexpr std::uint32_t kRootService = 0x1003;
  static constexpr std::uint32_t kConnection = 0x2007;

  // Switches.
  void setMatchFails(bool fails);
  // The code open() returns; 0 (the default) opens kConnection.
  void setOpenResult(std::int32_t code);
  void setProperty(const std::string& name, PropertyValue value);
  void removeProperty(const std::string& name);
  // After `reads` more reads of `name`, the property takes `value` (absent removes it).
  // The read that makes the count reach `reads` still sees the old value. Stands in for a
  // setting that the kernel reports only after a lag.
  void setPropertyAfterReads(const std::string& name, std::optional<PropertyValue> value,
                             int reads);

  // What was asked.
  int matchCalls() const;
  int openCalls() const;
  std::vector<std::uint32_t> closedConnections() const;
  std::vector<std::uint32_t> releasedServices() const;
  // How many times property() was asked for `name`.
  int propertyReads(const std::string& name) const;
  // Every call in order: "match", "open", "close", "release", "property <name>".
  std::vector<std::string> calls() const;

  // PowerRegistry.
  std::uint32_t matchRootDomain() override;
  std::int32_t open(std::uint32_t service, std::uint32_t* connection) override;
  void close(std::uint32_t connection) override;
  void release(std::uint32_t service) override;
  std::optional<PropertyValue> property(std::uint32_t service, const std::string& name) override;

 private:
  struct PendingChange {
    std::optional<PropertyValue> value;
    int readsLeft = 0;
  };

  mutable std::mutex mutex_;
  bool matchFails_ = false;
  std::int32_t openResult_ = 0;
  std::map<std::string, PropertyValue> properties_;
  std::map<std::string, PendingChange> pending_;
  std::map<std::string, int> reads_;
  int matchCalls_ = 0;
  int openCalls_ = 0;
  std::vector<std::uint32_t> closed_;
  std::vector<std::uint32_t> released_;
  std::vector<std::string> calls_;
};

}  // namespace dravik::platform
