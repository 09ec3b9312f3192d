#include "DravikCore/Localization.h"

#include <string>
#include <unordered_map>

namespace dravik {

namespace {

using TextPair = std::pair<std::string_view, std::string_view>;

// Chinese text → English text. Other code refers to entries by their Chinese text, so keys are
// never reworded here without changing every place that raises them.
const std::vector<TextPair>& englishEntries() {
  static const std::vector<TextPair> entries = {
      {"Quellan：合盖与开盖不休眠已开启", "Quellan: Closed-lid and open-lid keep-awake are on"},
      {"开盖不休眠", "Keep awake with lid open"},
      {"屏幕仍可自动熄灭，合盖时暂停", "Display can sleep. Pauses when you close the lid."},
      {"合盖或睡眠时暂停，开盖唤醒后恢复",
       "Paused while closed or asleep. Resumes on reopening and wake."},
      {"Quellan：开盖不休眠已开启", "Quellan: Open-lid keep-awake is on"},
      {"无法读取合盖状态，开盖不休眠已关闭",
       "Lid readings unavailable. Open-lid keep-awake turned off."},
      {"开盖不休眠连接超时，请重新开启", "Open-lid keep-awake timed out. Turn it on again."},
      {"无法读取电量，开盖不休眠已关闭",
       "Battery readings unavailable. Open-lid keep-awake turned off."},
      {"电量已降至 10%，开盖不休眠已关闭", "Battery reached 10%. Open-lid keep-awake turned off."},
      {"温度过高，开盖不休眠已关闭", "Your Mac is too hot. Open-lid keep-awake turned off."},
      {"正在连接兼容服务…", "Connecting to compatibility service…"},
      {"Quellan兼容组件", "Quellan Compatibility"},
      {"让合盖运行更可靠", "Reliable closed-lid sessions"},
      {"免费组件，由你在 macOS "
       "中授权。仅在Quellan会话期间管理系统睡眠；开盖、退出或连接超时后恢复原设置。",
       "A free component approved by you in macOS. It manages system sleep during Quellan sessions "
       "and restores the original setting when you reopen the lid, quit, or the connection times "
       "out."},
      {"请先安装并授权Quellan兼容组件", "Install and approve Quellan Compatibility first"},
      {"兼容组件已就绪", "Compatibility component ready"},
      {"请在系统设置中允许Quellan兼容组件", "Allow Quellan Compatibility in System Settings"},
      {"请先把兼容组件拖到应用程序文件夹", "Drag Quellan Compatibility to Applications first"},
      {"睡眠已恢复，可以移除兼容组件", "Sleep restored. You can remove the compatibility app."},
      {"打开应用程序文件夹", "Open Applications"},
      {"安装兼容服务", "Install service"},
      {"打开系统设置", "Open System Settings"},
      {"刷新状态", "Refresh"},
      {"恢复睡眠并移除服务", "Restore sleep & remove service"},
      {"需要主动睡眠时，请先关闭Quellan。移除组件前，请先点“恢复睡眠并移除服务”。",
       "Turn Quellan off before choosing Sleep. Use Restore sleep & remove service before deleting "
       "this app."},
      {"设置免费兼容组件", "Set up free compatibility component"},
      {"管理兼容组件", "Manage compatibility component"},
      {"请更新Quellan兼容组件", "Update Quellan Compatibility"},
      {"兼容组件暂时不可用，请重新打开组件检查",
       "Compatibility component unavailable. Open it to check its status."},
      {"兼容组件响应超时，请保持开盖并检查组件",
       "Compatibility component timed out. Keep the lid open and check the component."},
      {"兼容组件正在恢复睡眠，请保持开盖", "Restoring sleep. Keep the lid open."},
      {"兼容组件正在移除，请重新安装后再试",
       "Compatibility service is being removed. Reinstall it before trying again."},
      {"兼容组件未能确认睡眠设置，请稍后重试", "Could not confirm sleep settings. Try again."},
      {"兼容组件会话已结束，请重新开启", "Compatibility session ended. Turn Quellan on again."},
      {"睡眠设置被其他程序更改，本次已结束",
       "Another app changed sleep settings. This session has ended."},
      {"兼容组件恢复记录版本不匹配，请联系支持",
       "Recovery record version mismatch. Contact support."},
      {"请保持开盖，确认电量、温度和显示器状态后重试",
       "Keep the lid open and check battery, temperature and displays before trying again."},
      {"电量、温度或用户状态改变，本次已结束",
       "Battery, temperature or user changed. This session has ended."},
      {"无法读取系统睡眠设置，请稍后重试", "Could not read system sleep settings. Try again."},
      {"系统睡眠设置超时，请保持开盖并重试",
       "Sleep setting request timed out. Keep the lid open and try again."},
      {"系统拒绝兼容组件的睡眠设置", "macOS rejected the compatibility sleep setting"},
      {"兼容服务需要 macOS 管理员授权",
       "The compatibility service requires macOS administrator approval"},
      {"兼容组件恢复目录权限异常，请联系支持",
       "Recovery directory permissions are invalid. Contact support."},
      {"无法读取兼容组件恢复记录", "Could not read the compatibility recovery record"},
      {"兼容组件恢复记录权限或格式异常，请联系支持",
       "Recovery record permissions or format are invalid. Contact support."},
      {"无法保存兼容组件恢复记录", "Could not save the compatibility recovery record"},
      {"无法安全保存兼容组件恢复记录", "Could not safely save the compatibility recovery record"},
      {"无法清除兼容组件恢复记录", "Could not clear the compatibility recovery record"},
      {"Quellan", "Quellan"},
      {"选项", "Options"},
      {"返回", "Back"},
      {"本次合盖不休眠", "Keep awake for this lid close"},
      {"已关闭", "Off"},
      {"已开启", "On"},
      {"正在开启…", "Turning on…"},
      {"正在关闭…", "Turning off…"},
      {"开盖自动关闭，下次恢复正常睡眠。",
       "Turns off when you reopen the lid. Normal sleep returns."},
      {"最长保持", "Time limit"},
      {"直到开盖", "Until reopened"},
      {"最晚结束", "Ends by"},
      {"电量降至 10% 或过热时自动结束", "Ends at 10% battery or if your Mac gets too hot"},
      {"登录时启动", "Launch at login"},
      {"语言", "Language"},
      {"跟随系统", "System default"},
      {"低电量保护", "Low battery cutoff"},
      {"高温保护", "Thermal protection"},
      {"自动", "Automatic"},
      {"当前电量", "Battery level"},
      {"读取中", "Reading…"},
      {"退出Quellan", "Quit Quellan"},
      {"隐私政策", "Privacy Policy"},
      {"支持与帮助", "Help & Support"},
      {"Clamshell 正在运行", "Clamshell is running"},
      {"需要处理", "Needs attention"},
      {"退出后即可开启本次合盖不休眠。", "Quit Clamshell to enable this session."},
      {"退出 Clamshell", "Quit Clamshell"},
      {"请在系统设置 → 登录项中允许Quellan", "Allow Quellan in System Settings → Login Items."},
      {"Quellan：已关闭", "Quellan: Off"},
      {"Quellan：已开启，仅本次合盖不休眠", "Quellan: On, keep awake for this lid close"},
      {"点一次，下次合盖继续运行", "One click to keep working through the next lid close"},
      {"合盖进程意外结束，正在恢复睡眠…",
       "The session process quit unexpectedly. Restoring sleep…"},
      {"合盖进程已结束，请重新打开Quellan", "The session process has ended. Reopen Quellan."},
      {"无法确认恢复，请保持开盖并重启 Mac",
       "Couldn't confirm recovery. Keep the lid open and restart your Mac."},
      {"意外退出后已恢复睡眠，请重新打开Quellan",
       "Sleep settings restored after an unexpected exit. Reopen Quellan."},
      {"恢复尚未确认，正在重试；请保持开盖",
       "Recovery isn't confirmed. Retrying; keep the lid open."},
      {"另一个Quellan会话正在运行", "Another Quellan session is already running"},
      {"这台 Mac 没有可读取的合盖传感器", "This Mac has no readable lid sensor"},
      {"无法监听合盖事件", "Couldn't monitor lid events"},
      {"合盖事件监听失败", "Lid event monitoring failed"},
      {"系统正在睡眠，本次已结束", "macOS is going to sleep. This session has ended."},
      {"已取消，恢复正常合盖睡眠", "Session cancelled. Normal lid sleep restored."},
      {"此版本仅支持 Apple Silicon MacBook", "This version supports Apple Silicon MacBooks only"},
      {"无效的时长设置", "Invalid time limit"},
      {"请先退出 Clamshell，避免两个软件同时控制合盖", "Quit Clamshell before enabling Quellan"},
      {"请先打开电脑盖子", "Open the lid before enabling Quellan"},
      {"请断开外接显示器后再启用", "Disconnect external displays before enabling Quellan"},
      {"其他程序正在接管睡眠，请先关闭它的防睡眠功能",
       "Another app controls sleep. Turn off its keep-awake feature first."},
      {"温度过高，冷却后再启用", "Your Mac is too hot. Let it cool before trying again."},
      {"无法读取电量，请稍后再试", "Couldn't read the battery level. Try again later."},
      {"电量不高于 10%，请接通电源", "Battery is at or below 10%. Connect power first."},
      {"正在确认合盖控制…", "Checking lid control…"},
      {"会话状态异常", "Unexpected session state"},
      {"现在可以合盖，开盖后自动结束", "Ready to close the lid. Reopening ends this session."},
      {"本次已完成，下次合盖将正常睡眠",
       "Session complete. The next lid close will sleep normally."},
      {"合盖运行中 · 开盖即结束", "Working with the lid closed. Reopening ends this session."},
      {"温度过高，已恢复正常睡眠", "Your Mac is too hot. Normal sleep restored."},
      {"电量读取中断，已恢复正常睡眠", "Battery readings stopped. Normal sleep restored."},
      {"电量已降至 10%，已恢复正常睡眠", "Battery reached 10%. Normal sleep restored."},
      {"达到设定时长，本次已结束", "Time limit reached. This session has ended."},
      {"已连接外接屏，本次结束，由 macOS 管理睡眠",
       "External display connected. Session ended; macOS controls sleep."},
      {"合盖传感器读取中断，已恢复正常睡眠", "Lid sensor readings stopped. Normal sleep restored."},
      {"等待防睡眠请求释放", "Waiting for keep-awake requests to release"},
      {"恢复尚未确认，正在重试。请保持开盖；必要时重启 Mac。",
       "Recovery isn't confirmed. Retrying. Keep the lid open; restart your Mac if needed."},
      {"会话已结束，恢复正常睡眠", "Session ended. Normal sleep restored."},
      {"找不到合盖控制接口", "Lid-control interface not found"},
      {"无法确认显示器状态", "Couldn't confirm display status"},
      {"读取显示器失败", "Couldn't read display status"},
  };
  return entries;
}

// No Chinese prefix is a prefix of another, so at most one applies to any key.
const std::vector<TextPair>& prefixEntries() {
  static const std::vector<TextPair> entries = {
      {"开盖防休眠请求失败：", "Open-lid keep-awake request failed: "},
      {"开盖防休眠恢复失败：", "Could not release open-lid keep-awake: "},
      {"无法启动合盖进程：", "Couldn't start the session process: "},
      {"无法打开合盖接口：", "Couldn't open the lid-control interface: "},
      {"系统拒绝合盖设置：", "macOS rejected the lid setting: "},
      {"防睡眠请求失败：", "Keep-awake request failed: "},
  };
  return entries;
}

const std::unordered_map<std::string_view, std::string_view>& englishByKey() {
  static const std::unordered_map<std::string_view, std::string_view> table(
      englishEntries().begin(), englishEntries().end());
  return table;
}

bool startsWithChinese(std::string_view tag) {
  if (tag.size() < 2) return false;
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  return lower(tag[0]) == 'z' && lower(tag[1]) == 'h';
}

}  // namespace

std::string_view rawValue(AppLanguage language) {
  switch (language) {
    case AppLanguage::system:
      return "system";
    case AppLanguage::simplifiedChinese:
      return "zh-Hans";
    case AppLanguage::english:
      return "en";
  }
  return "system";
}

std::optional<AppLanguage> appLanguageFromRawValue(std::string_view raw) {
  for (AppLanguage language : allAppLanguages()) {
    if (rawValue(language) == raw) return language;
  }
  return std::nullopt;
}

AppLanguage resolved(AppLanguage language, const std::vector<std::string>& preferredLanguages) {
  if (language != AppLanguage::system) return language;
  if (preferredLanguages.empty()) return AppLanguage::english;
  return startsWithChinese(preferredLanguages.front()) ? AppLanguage::simplifiedChinese
                                                       : AppLanguage::english;
}

AppLanguage resolved(AppLanguage language, const platform::PreferredLanguages& preferred) {
  // A fixed choice never asks the platform.
  if (language != AppLanguage::system) return language;
  return resolved(language, preferred.languages());
}

std::string locale(AppLanguage language, const std::vector<std::string>& preferredLanguages) {
  return resolved(language, preferredLanguages) == AppLanguage::simplifiedChinese ? "zh_CN"
                                                                                  : "en_US";
}

std::string locale(AppLanguage language, const platform::PreferredLanguages& preferred) {
  return resolved(language, preferred) == AppLanguage::simplifiedChinese ? "zh_CN" : "en_US";
}

std::string translate(std::string_view key, AppLanguage resolvedLanguage) {
  if (resolvedLanguage == AppLanguage::simplifiedChinese) return std::string(key);
  const auto& table = englishByKey();
  if (auto found = table.find(key); found != table.end()) return std::string(found->second);
  for (const auto& [chinese, english] : prefixEntries()) {
    if (key.starts_with(chinese)) {
      std::string text(english);
      text.append(key.substr(chinese.size()));
      return text;
    }
  }
  return std::string(key);
}

std::string duration(std::int64_t minutes, AppLanguage resolvedLanguage) {
  if (minutes == 0) return translate("直到开盖", resolvedLanguage);
  // Division truncates toward zero, so a negative value stays below an hour and is worded in
  // minutes like a small one.
  const std::int64_t hours = minutes / 60;
  if (resolvedLanguage == AppLanguage::simplifiedChinese) {
    return minutes >= 60 ? std::to_string(hours) + " 小时" : std::to_string(minutes) + " 分钟";
  }
  if (minutes < 60) return std::to_string(minutes) + " minutes";
  if (minutes < 120) return "1 hour";
  return std::to_string(hours) + " hours";
}

std::string AppText::operator()(std::string_view key) const {
  return translate(key, resolved(language_, *preferred_));
}

std::string AppText::duration(std::int64_t minutes) const {
  return dravik::duration(minutes, resolved(language_, *preferred_));
}

std::string AppText::locale() const { return dravik::locale(language_, *preferred_); }

const std::vector<std::pair<std::string_view, std::string_view>>& AppText::englishTable() {
  return englishEntries();
}

const std::vector<std::pair<std::string_view, std::string_view>>& AppText::prefixTable() {
  return prefixEntries();
}

}  // namespace dravik
