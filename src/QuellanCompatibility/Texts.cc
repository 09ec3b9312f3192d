#include "QuellanCompatibility/Texts.h"

#include <cctype>
#include <cstdlib>
#include <map>

namespace quellan {
namespace {

// Stand-in for the core library's table: the texts of the window and the messages the
// model can hold.
const std::map<std::string, std::string>& englishTexts() {
  static const std::map<std::string, std::string> table{
      {"正在连接兼容服务…", "Connecting to compatibility service…"},
      {"Quellan兼容组件", "Quellan Compatibility"},
      {"让合盖运行更可靠", "Reliable closed-lid sessions"},
      {"免费组件，由你在 macOS "
       "中授权。仅在Quellan会话期间管理系统睡眠；开盖、退出或连接超时后恢复原设置。",
       "A free component approved by you in macOS. It manages system sleep during Quellan "
       "sessions and restores the original setting when you reopen the lid, quit, or the "
       "connection times out."},
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
       "Turn Quellan off before choosing Sleep. Use Restore sleep & remove service before "
       "deleting this app."},
      {"请更新Quellan兼容组件", "Update Quellan Compatibility"},
      {"兼容组件暂时不可用，请重新打开组件检查",
       "Compatibility component unavailable. Open it to check its status."},
      {"兼容组件响应超时，请保持开盖并检查组件",
       "Compatibility component timed out. Keep the lid open and check the component."},
      {"兼容组件正在恢复睡眠，请保持开盖", "Restoring sleep. Keep the lid open."},
      {"兼容组件正在移除，请重新安装后再试",
       "Compatibility service is being removed. Reinstall it before trying again."},
  };
  return table;
}

// The first preferred language, from the locale environment in the platform's order.
bool systemPrefersChinese() {
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    std::string tag(value);
    return tag.size() >= 2 && std::tolower(static_cast<unsigned char>(tag[0])) == 'z' &&
           std::tolower(static_cast<unsigned char>(tag[1])) == 'h';
  }
  return false;
}

}  // namespace

std::string translate(const std::string& chinese, AppLanguage language) {
  bool chineseShown = language == AppLanguage::simplifiedChinese ||
                      (language == AppLanguage::system && systemPrefersChinese());
  if (chineseShown) return chinese;
  auto found = englishTexts().find(chinese);
  return found == englishTexts().end() ? chinese : found->second;
}

}  // namespace quellan
