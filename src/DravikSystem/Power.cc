#include "DravikSystem/Power.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace dravik {

namespace {

constexpr std::uint32_t kMostDisplays = 64;

const std::int64_t* integerEntry(const platform::SourceDescription& description,
                                 const std::string& key) {
  auto found = description.find(key);
  if (found == description.end()) return nullptr;
  return std::get_if<std::int64_t>(&found->second);
}

}  // namespace

PowerDriver::PowerDriver(platform::PowerRegistry& registry) : registry_(registry) {
  root_ = registry_.matchRootDomain();
  if (root_ == 0) throw PowerError("找不到合盖控制接口");
  const std::int32_t result = registry_.open(root_, &connection_);
  if (result != 0) {
    // The destructor will not run for a half-built driver: give the service back here.
    registry_.release(root_);
    throw PowerError("无法打开合盖接口：" + hex(result));
  }
}

PowerDriver::~PowerDriver() {
  registry_.close(connection_);
  registry_.release(root_);
}

std::optional<bool> PowerDriver::boolProperty(const std::string& name) const {
  const std::optional<platform::PropertyValue> value = registry_.property(root_, name);
  if (!value) return std::nullopt;
  if (const bool* flag = std::get_if<bool>(&*value)) return *flag;
  return std::nullopt;
}

std::string PowerDriver::hex(std::int32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x",
                static_cast<unsigned>(static_cast<std::uint32_t>(code)));
  return text;
}

BatteryReading batteryReading(platform::PowerSources& sources) {
  const std::optional<platform::PowerSourcesInfo> info = sources.copyInfo();
  if (!info) return BatteryReading{std::nullopt, true};

  BatteryReading reading;
  reading.onBattery = info->providingType.has_value() && *info->providingType == "Battery Power";
  if (!info->sources) return reading;

  for (const auto& description : *info->sources) {
    if (!description) continue;
    auto type = description->find("Type");
    if (type == description->end()) continue;
    const auto* typeText = std::get_if<std::string>(&type->second);
    if (typeText == nullptr || *typeText != "InternalBattery") continue;
    const std::int64_t* current = integerEntry(*description, "Current Capacity");
    const std::int64_t* max = integerEntry(*description, "Max Capacity");
    if (current == nullptr || max == nullptr || *max < 1) continue;
    // The quotient first, in double precision, then truncation: 57 of 100 reads 56.
    const double percent = static_cast<double>(*current) / static_cast<double>(*max) * 100.0;
    // A capacity so large that the percent leaves the integer range is no reading.
    if (!(percent > -9.0e18 && percent < 9.0e18)) continue;
    reading.percent = static_cast<std::int64_t>(std::trunc(percent));
    return reading;
  }
  return reading;
}

int externalDisplayCount(platform::Displays& displays) {
  std::uint32_t count = 0;
  if (displays.onlineDisplayList(0, nullptr, &count) != 0 || count < 1 || count > kMostDisplays) {
    throw PowerError("无法确认显示器状态");
  }
  std::vector<std::uint32_t> ids(count, 0);
  std::uint32_t listed = count;
  if (displays.onlineDisplayList(count, ids.data(), &listed) != 0) {
    throw PowerError("读取显示器失败");
  }
  const std::size_t checked = std::min<std::size_t>(ids.size(), listed);
  int external = 0;
  for (std::size_t i = 0; i < checked; ++i) {
    if (!displays.isBuiltin(ids[i])) ++external;
  }
  return external;
}

bool conflictingApp(platform::RunningApplications& applications) {
  return applications.isRunning(std::string(kClamshellBundleIdentifier));
}

std::string thermalLabel(platform::ThermalState& thermal) {
  switch (thermal.thermalState()) {
    case 0:
      return "正常";
    case 1:
      return "温热";
    case 2:
      return "高温";
    case 3:
      return "过热";
    default:
      return "未知";
  }
}

}  // namespace dravik
