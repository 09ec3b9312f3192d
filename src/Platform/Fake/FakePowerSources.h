#pragma once
// In-memory power sources for unit tests.
//
//   FakePowerSources sources;                      // no information at all (copyInfo() absent)
//   sources.setInfo(PowerSourcesInfo{"Battery Power",
//                                    {{FakePowerSources::internalBattery(57, 100)}}});
//
// Thread-safe.

#include <cstdint>
#include <mutex>
#include <optional>

#include "Platform/PowerSources.h"

namespace dravik::platform {

class FakePowerSources : public PowerSources {
 public:
  // The snapshot copyInfo() returns from now on; absent means "no information".
  void setInfo(std::optional<PowerSourcesInfo> info);
  int copyCalls() const;

  // A description of the machine's own battery with integer capacities.
  static SourceDescription internalBattery(std::int64_t current, std::int64_t max);

  std::optional<PowerSourcesInfo> copyInfo() override;

 private:
  mutable std::mutex mutex_;
  std::optional<PowerSourcesInfo> info_;
  int copyCalls_ = 0;
};

}  // namespace dravik::platform
