#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <string>
#include <vector>

#include "QuellanCompatibility/CompatibilityWindow.h"
#include "QuellanCompatibility/fakes/CompanionStage.h"

namespace quellan {
namespace {

using fakes::CompanionStage;
using fakes::Situation;

constexpr const char* kCheckmark = "checkmark.circle.fill";
constexpr const char* kPersonKey = "person.badge.key";

template <class T = QWidget>
T* child(CompanionStage& stage, const char* name) {
  T* found = stage.window->findChild<T*>(name);
  EXPECT_NE(found, nullptr) << name;
  return found;
}

QString label(CompanionStage& stage, const char* name) {
  return child<QLabel>(stage, name)->text();
}

// The buttons of the row that are shown, by their titles, left to right.
std::vector<std::string> shownButtons(CompanionStage& stage) {
  std::vector<std::string> titles;
  for (const char* name : {"openApplicationsButton", "installButton", "openSettingsButton",
                           "refreshButton", "removeButton"}) {
    auto* button = child<QPushButton>(stage, name);
    if (!button->isHidden()) titles.push_back(button->text().toStdString());
  }
  return titles;
}

TEST(CompatibilityWindow, ShowsEachSituationInBothLanguagesInsideAndOutsideApplications) {
  struct Row {
    Situation situation;
    const char* statusLine;
    const char* icon;
    const char* action;  // the action button inside /Applications, or nullptr
    bool remove;
    const char* message;  // "" when the message is hidden
  };
  const Row rows[] = {
      {Situation::notInstalled, "请先安装并授权Quellan兼容组件", kPersonKey, "安装兼容服务", false,
       ""},
      {Situation::notFound, "请先安装并授权Quellan兼容组件", kPersonKey, "安装兼容服务", false, ""},
      {Situation::awaitingApproval, "请在系统设置中允许Quellan兼容组件", kPersonKey, "打开系统设置",
       false, ""},
      {Situation::connecting, "正在连接兼容服务…", kPersonKey, nullptr, true, ""},
      {Situation::restorePending, "正在连接兼容服务…", kPersonKey, nullptr, true,
       "兼容组件正在恢复睡眠，请保持开盖"},
      {Situation::statusFailed, "正在连接兼容服务…", kPersonKey, nullptr, true,
       "兼容组件响应超时，请保持开盖并检查组件"},
      {Situation::ready, "兼容组件已就绪", kCheckmark, nullptr, true, "兼容组件已就绪"},
  };
  for (AppLanguage language : {AppLanguage::simplifiedChinese, AppLanguage::english}) {
    for (bool inside : {true, false}) {
      for (const auto& row : rows) {
        CompanionStage stage(row.situation, inside, language);
        auto shown = [&](const std::string& chinese) { return translate(chinese, language); };
        SCOPED_TRACE(std::string(fakes::situationName(row.situation)) +
                     (inside ? " inside" : " outside") +
                     (language == AppLanguage::english ? " en" : " zh"));

        EXPECT_EQ(label(stage, "statusLine").toStdString(), shown(row.statusLine));
        EXPECT_EQ(child(stage, "statusIcon")->property("symbol").toString().toStdString(),
                  row.icon);
        auto* message = child<QLabel>(stage, "message");
        EXPECT_EQ(message->isHidden(), std::string(row.message).empty());
        if (*row.message) {
          EXPECT_EQ(message->text().toStdString(), shown(row.message));
        }

        std::vector<std::string> expected;
        const char* action = inside ? row.action : "打开应用程序文件夹";
        if (action) expected.push_back(shown(action));
        expected.push_back(shown("刷新状态"));
        if (row.remove) expected.push_back(shown("恢复睡眠并移除服务"));
        EXPECT_EQ(shownButtons(stage), expected);
        EXPECT_TRUE(child(stage, "buttonRow")->isEnabled());
      }
    }
  }
}

TEST(CompatibilityWindow, EnglishTextsAreThePagesOwn) {
  CompanionStage stage(Situation::awaitingApproval, true, AppLanguage::english);
  EXPECT_EQ(label(stage, "title"), "Quellan Compatibility");
  EXPECT_EQ(label(stage, "subtitle"), "Reliable closed-lid sessions");
  EXPECT_EQ(label(stage, "explanation"),
            "A free component approved by you in macOS. It manages system sleep during Quellan "
            "sessions and restores the original setting when you reopen the lid, quit, or the "
            "connection times out.");
  EXPECT_EQ(label(stage, "statusLine"), "Allow Quellan Compatibility in System Settings");
  EXPECT_EQ(shownButtons(stage), (std::vector<std::string>{"Open System Settings", "Refresh"}));
  EXPECT_EQ(label(stage, "closingNote"),
            "Turn Quellan off before choosing Sleep. Use Restore sleep & remove service before "
            "deleting this app.");
}

TEST(CompatibilityWindow, ChineseTextsAreTheKeysThemselves) {
  CompanionStage stage(Situation::ready, false, AppLanguage::simplifiedChinese);
  EXPECT_EQ(label(stage, "title"), "Quellan兼容组件");
  EXPECT_EQ(label(stage, "subtitle"), "让合盖运行更可靠");
  EXPECT_EQ(label(stage, "explanation"),
            "免费组件，由你在 macOS "
            "中授权。仅在Quellan会话期间管理系统睡眠；开盖、退出或连接超时后恢复原设置。");
  EXPECT_EQ(shownButtons(stage),
            (std::vector<std::string>{"打开应用程序文件夹", "刷新状态", "恢复睡眠并移除服务"}));
  EXPECT_EQ(label(stage, "closingNote"),
            "需要主动睡眠时，请先关闭Quellan。移除组件前，请先点“恢复睡眠并移除服务”。");
}

TEST(CompatibilityWindow, SwitchingToEnglishRerendersEverythingAtOnce) {
  CompanionStage stage(Situation::restorePending, true, AppLanguage::simplifiedChinese);
  auto* picker = child<QComboBox>(stage, "languagePicker");
  ASSERT_EQ(picker->count(), 3);
  EXPECT_EQ(picker->currentText(), "中文");
  picker->setCurrentIndex(2);
  emit picker->activated(2);

  EXPECT_EQ(stage.model->language(), AppLanguage::english);
  EXPECT_EQ(label(stage, "title"), "Quellan Compatibility");
  EXPECT_EQ(label(stage, "statusLine"), "Connecting to compatibility service…");
  EXPECT_EQ(label(stage, "message"), "Restoring sleep. Keep the lid open.");
  EXPECT_EQ(shownButtons(stage),
            (std::vector<std::string>{"Refresh", "Restore sleep & remove service"}));
  EXPECT_EQ(stage.window->windowTitle(), "Quellan Compatibility");
  EXPECT_EQ(picker->itemText(0), "系统 / System");
  EXPECT_EQ(picker->itemText(1), "中文");
  EXPECT_EQ(picker->itemText(2), "English");
}

TEST(CompatibilityWindow, LongMessageWrapsAndThePageKeepsItsWidth) {
  CompanionStage stage(Situation::ready, true, AppLanguage::english);
  const int before = stage.window->height();
  std::string longMessage;
  for (int i = 0; i < 30; ++i) longMessage += "The platform could not complete the request. ";
  stage.services.registerError = longMessage;
  stage.services.setStatus(CompanionStage::plist(), CompanionStage::ServiceStatus::notRegistered);
  stage.model->install();  // the refused registration leaves the long description
  ASSERT_EQ(stage.model->message(), longMessage);
  EXPECT_EQ(stage.window->width(), CompatibilityWindow::kWidth);
  EXPECT_GT(stage.window->height(), before) << "the height follows the wrapped message";
  auto* message = child<QLabel>(stage, "message");
  EXPECT_TRUE(message->wordWrap());
  EXPECT_TRUE(message->textInteractionFlags() & Qt::TextSelectableByMouse);
}

TEST(CompatibilityWindow, EmptyMessageKeepsNoRoom) {
  CompanionStage stage(Situation::restorePending, true, AppLanguage::english);
  const int withMessage = stage.window->height();
  CompanionStage empty(Situation::connecting, true, AppLanguage::english);
  EXPECT_TRUE(child<QLabel>(empty, "message")->isHidden());
  EXPECT_LT(empty.window->height(), withMessage);
}

TEST(CompatibilityWindow, ButtonsActOnTheModelAndThePlatform) {
  CompanionStage outside(Situation::notInstalled, false, AppLanguage::english);
  child<QPushButton>(outside, "openApplicationsButton")->click();
  EXPECT_EQ(outside.workspace.opened, std::vector<std::string>{"/Applications"});
  EXPECT_EQ(outside.services.registerCalls, 0);

  CompanionStage notInstalled(Situation::notInstalled, true, AppLanguage::english);
  child<QPushButton>(notInstalled, "installButton")->click();
  EXPECT_EQ(notInstalled.services.registerCalls, 1);
  EXPECT_EQ(shownButtons(notInstalled),
            (std::vector<std::string>{"Open System Settings", "Refresh"}));
  EXPECT_EQ(label(notInstalled, "message"), "Allow Quellan Compatibility in System Settings");

  child<QPushButton>(notInstalled, "openSettingsButton")->click();
  EXPECT_EQ(notInstalled.services.settingsOpened, 1);

  const int statusCalls = notInstalled.services.statusCalls;
  child<QPushButton>(notInstalled, "refreshButton")->click();
  EXPECT_EQ(notInstalled.services.statusCalls, statusCalls + 1);
}

TEST(CompatibilityWindow, ProminentButtonsAreInstallAndOpenSettings) {
  CompanionStage stage(Situation::ready, true, AppLanguage::english);
  for (const char* name : {"installButton", "openSettingsButton"})
    EXPECT_TRUE(child(stage, name)->property("prominent").toBool()) << name;
  for (const char* name : {"openApplicationsButton", "refreshButton", "removeButton"})
    EXPECT_FALSE(child(stage, name)->property("prominent").toBool()) << name;
}

TEST(CompatibilityWindow, NoButtonReactsWhileRemovingAndTheRowFollowsTheOutcome) {
  CompanionStage stage(Situation::ready, true, AppLanguage::english);
  child<QPushButton>(stage, "removeButton")->click();
  ASSERT_TRUE(stage.model->busy());
  EXPECT_FALSE(child(stage, "buttonRow")->isEnabled());
  for (const char* name : {"refreshButton", "removeButton"})
    EXPECT_FALSE(child(stage, name)->isEnabled()) << name;
  EXPECT_TRUE(child(stage, "languagePicker")->isEnabled());

  child<QPushButton>(stage, "removeButton")->click();
  child<QPushButton>(stage, "refreshButton")->click();
  EXPECT_EQ(stage.connector.operations, (std::vector<std::string>{"status", "prepareForRemoval"}))
      << "a disabled row starts nothing";

  stage.connector.answerCommand({true, std::nullopt});
  stage.mainQueue.runAll();
  stage.services.completeUnregistration();
  stage.mainQueue.runAll();
  EXPECT_TRUE(child(stage, "buttonRow")->isEnabled());
  EXPECT_EQ(label(stage, "statusLine"), "Install and approve Quellan Compatibility first");
  EXPECT_EQ(child(stage, "statusIcon")->property("symbol").toString(), kPersonKey);
  EXPECT_EQ(label(stage, "message"), "Sleep restored. You can remove the compatibility app.");
  EXPECT_EQ(shownButtons(stage), (std::vector<std::string>{"Install service", "Refresh"}));
}

TEST(CompatibilityWindow, ShowingThePageRefreshesOnce) {
  CompanionStage stage(Situation::connecting, true, AppLanguage::english);
  EXPECT_EQ(stage.connector.operations, std::vector<std::string>{"status"});
}

}  // namespace
}  // namespace quellan

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
