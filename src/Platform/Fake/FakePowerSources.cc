#include "Platform/Fake/FakePowerSources.h"

namespace dravik::platform {

void FakePowerSources::setInfo(std::optional<PowerSourcesInfo> info) {
  std::lock_guard lock(mutex_);
  info_ = std::move(info);
}

int FakePowerSources::copyCalls() const {
  std::lock_guard lock(mutex_);
  return copyCalls_;
}

SourceDescription FakePowerSources::internalBattery(std::int64_t current, std::int64_t max) {
  return SourceDescription{{"Type", std::string("InternalBattery")},
                           {"Current Capacity", current},
                           {"Max Capacity", max}};
}

std::optional<PowerSourcesInfo> FakePowerSources::copyInfo() {
  std::lock_guard lock(mutex_);
  ++copyCalls_;
  return info_;
}

}  // namespace dravik::platform
