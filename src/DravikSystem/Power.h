#pragma once
// The system library's window on the machine's power state: the root power domain
// (PowerDriver) and the safety probes (battery, external displays, a competing utility,
// the thermal state).
//
// Every operation reads the platform through a seam handed in by the caller; nothing here
// reaches for a global. None keeps state between calls and none locks; a driver is used
// from one thread at a time (the daemon's main queue).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "DravikSystem/PowerError.h"
#include "Platform/Displays.h"
#include "Platform/PowerRegistry.h"
#include "Platform/PowerSources.h"
#include "Platform/SystemReadings.h"

namespace dravik {

// Bundle identifier of the competing Clamshell utility that conflictingApp() looks for.
inline constexpr std::string_view kClamshellBundleIdentifier = "app.clamshell.Clamshell";

// The root power domain, matched and opened for the object's whole life.
//
// Construction matches "IOPMrootDomain" and opens a user-client connection (type 0) to
// it; it either yields a driver holding both handles or throws PowerError having given
// back whatever it took. Destruction closes the connection, then releases the service,
// exactly once. Not copyable, not movable (it owns the two handles). `registry` is not
// owned and must outlive the driver.
class PowerDriver {
 public:
  // Throws PowerError "找不到合盖控制接口" when the domain cannot be matched, and
  // "无法打开合盖接口：" + hex(code) when the connection cannot be opened.
  explicit PowerDriver(platform::PowerRegistry& registry);
  PowerDriver(const PowerDriver&) = delete;
  PowerDriver& operator=(const PowerDriver&) = delete;
  ~PowerDriver();

  // The root domain's Boolean property `name` ("AppleClamshellState": true = lid closed;
  // "SleepDisabled"). Absent when the property does not exist or is not a Boolean (a
  // number, even 0 or 1, or a string). Never throws. (Named for the Boolean it reads;
  // `bool` itself is a C++ keyword.)
  std::optional<bool> boolProperty(const std::string& name) const;

  // A platform return code as "0x" and eight lower-case hex digits of its 32-bit pattern:
  // -536870207 → "0xe00002c1", -1 → "0xffffffff".
  static std::string hex(std::int32_t code);

  // The matched service handle (never 0).
  std::uint32_t root() const { return root_; }

 private:
  platform::PowerRegistry& registry_;
  std::uint32_t root_ = 0;
  std::uint32_t connection_ = 0;
};

struct BatteryReading {
  // Charge of the internal battery in whole percent (truncated, not clamped); absent
  // when it cannot be read.
  std::optional<std::int64_t> percent;
  // True when the machine is running from its battery now.
  bool onBattery = false;
  friend bool operator==(const BatteryReading&, const BatteryReading&) = default;
};

// The first internal battery with integer capacities and a maximum of at least 1 gives
// the percent. Without any power-source information: percent absent, onBattery true (the
// careful answer). Never throws.
BatteryReading batteryReading(platform::PowerSources& sources);

// How many online displays are not built in. Throws PowerError "无法确认显示器状态" when
// the displays cannot be counted or the count is not 1..64, and "读取显示器失败" when
// they cannot be listed.
int externalDisplayCount(platform::Displays& displays);

// True while an application with kClamshellBundleIdentifier runs. Never throws.
bool conflictingApp(platform::RunningApplications& applications);

// "正常", "温热", "高温", "过热" for the thermal states 0..3, "未知" for anything else.
std::string thermalLabel(platform::ThermalState& thermal);

}  // namespace dravik
