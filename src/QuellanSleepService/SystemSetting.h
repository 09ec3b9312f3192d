#pragma once
// The machine-wide "SleepDisabled" setting, read and changed only through the power
// management tool (/usr/bin/pmset inside the machine root) and never trusted alone: a
// read must agree with the root power domain, and a write counts only once the root
// power domain reports the value written.
//
// Every call blocks: a tool run takes at most about 4 s, 5 s when the tool has to be
// killed; a write adds up to 1 s of polling every 20 ms on `clock`. No state between
// calls; used from the daemon's main queue only.

#include <string>
#include <string_view>
#include <vector>

#include "DravikSystem/Power.h"
#include "Platform/Clock.h"
#include "QuellanServiceCore/SleepSetting.h"

namespace quellan {

class SystemSleepSetting : public SleepSetting {
 public:
  static constexpr const char* kTool = "/usr/bin/pmset";
  static constexpr double kToolWaitSeconds = 4.0;
  static constexpr double kKillGraceSeconds = 1.0;
  static constexpr std::size_t kLargestReport = 16384;
  static constexpr double kConfirmPollSeconds = 0.02;
  static constexpr double kConfirmWindowSeconds = 1.0;

  // Neither `root` nor `clock` is owned; both must outlive the setting. `clock` supplies
  // the uptime and the pause of the write confirmation.
  SystemSleepSetting(dravik::PowerDriver& root, dravik::platform::Clock& clock);

  // The tool's "-g" report, confirmed by the root power domain. Throws ServiceFailure (or
  // std::system_error when the tool cannot be started).
  bool read() override;
  // "-a disablesleep 1|0", then waits until the root power domain reports `disabled`.
  // Throws ServiceFailure (or std::system_error when the tool cannot be started).
  void write(bool disabled) override;

  // The "SleepDisabled" value of a tool report: exactly one line made of the key and "0"
  // or "1", split at any Unicode newline and white space. Throws ServiceFailure
  // "无法读取系统睡眠设置，请稍后重试" for none or more than one such line.
  static bool parse(std::string_view output);

 private:
  // Runs the tool with `arguments`; its standard output as UTF-8 text.
  std::string run(const std::vector<std::string>& arguments);

  dravik::PowerDriver& root_;
  dravik::platform::Clock& clock_;
};

// `bytes` as UTF-8 text, every maximal ill-formed subsequence replaced by U+FFFD.
std::string decodeUtf8Lossy(std::string_view bytes);

}  // namespace quellan
