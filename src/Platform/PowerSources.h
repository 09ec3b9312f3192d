#pragma once
// The machine's power sources (batteries, UPSes) and which one provides power now.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace dravik::platform {

// One entry of a source's description ("Type", "Current Capacity", "Max Capacity", ...).
using SourceValue = std::variant<bool, std::int64_t, double, std::string>;
using SourceDescription = std::map<std::string, SourceValue>;

struct PowerSourcesInfo {
  // "AC Power", "Battery Power", ...; absent when it cannot be read.
  std::optional<std::string> providingType;
  // The source list; absent when the platform returns none or something that is not a list.
  // An entry is absent when that source has no description or it is not a keyed map.
  std::optional<std::vector<std::optional<SourceDescription>>> sources;
};

class PowerSources {
 public:
  PowerSources() = default;
  PowerSources(const PowerSources&) = delete;
  PowerSources& operator=(const PowerSources&) = delete;
  virtual ~PowerSources() = default;

  // A fresh snapshot, or absent when the platform gives no power-source information.
  // Never fails.
  virtual std::optional<PowerSourcesInfo> copyInfo() = 0;
};

}  // namespace dravik::platform
