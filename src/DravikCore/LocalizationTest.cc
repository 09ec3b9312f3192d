#include <gtest/gtest.h>

#include <set>

#include "DravikCore/Localization.h"

namespace dravik {
namespace {

// A settable preferred-language list that counts how often it was read.
class FakePreferredLanguages : public platform::PreferredLanguages {
 public:
  explicit FakePreferredLanguages(std::vector<std::string> list = {}) : list(std::move(list)) {}
  std::vector<std::string> languages() const override {
    ++reads;
    return list;
  }

  std::vector<std::string> list;
  mutable int reads = 0;
};

TEST(AppLanguageTest, RawValues) {
  const std::pair<AppLanguage, std::string_view> cases[] = {
      {AppLanguage::system, "system"},
      {AppLanguage::simplifiedChinese, "zh-Hans"},
      {AppLanguage::english, "en"},
  };
  for (const auto& [language, raw] : cases) {
    EXPECT_EQ(rawValue(language), raw);
    EXPECT_EQ(appLanguageFromRawValue(raw), language);
  }
  for (std::string_view other : {"", "zh", "zh-hans", "EN", "System", "en ", "zh-Hant"}) {
    EXPECT_EQ(appLanguageFromRawValue(other), std::nullopt) << other;
  }
  EXPECT_EQ(allAppLanguages(),
            (std::array<AppLanguage, 3>{AppLanguage::system, AppLanguage::simplifiedChinese,
                                        AppLanguage::english}));
}

TEST(AppLanguageTest, SystemFollowsOnlyTheFirstPreferredLanguage) {
  struct Case {
    std::vector<std::string> preferred;
    AppLanguage expected;
  };
  const Case cases[] = {
      {{}, AppLanguage::english},
      {{"zh-Hant-TW"}, AppLanguage::simplifiedChinese},
      {{"ZH-hk"}, AppLanguage::simplifiedChinese},
      {{"zh"}, AppLanguage::simplifiedChinese},
      {{"Zh-CN", "en"}, AppLanguage::simplifiedChinese},
      {{"en-GB", "zh-Hans-CN"}, AppLanguage::english},
      {{"fr-FR"}, AppLanguage::english},
      {{"z"}, AppLanguage::english},
      {{""}, AppLanguage::english},
      {{"xzh"}, AppLanguage::english},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(resolved(AppLanguage::system, c.preferred), c.expected)
        << (c.preferred.empty() ? "(none)" : c.preferred.front());
  }
}

TEST(AppLanguageTest, FixedChoiceNeverConsultsTheList) {
  FakePreferredLanguages preferred({"zh-CN"});
  EXPECT_EQ(resolved(AppLanguage::english, preferred), AppLanguage::english);
  EXPECT_EQ(resolved(AppLanguage::simplifiedChinese, FakePreferredLanguages({"en"})),
            AppLanguage::simplifiedChinese);
  EXPECT_EQ(locale(AppLanguage::english, preferred), "en_US");
  EXPECT_EQ(AppText(AppLanguage::english, preferred)("开盖不休眠"), "Keep awake with lid open");
  EXPECT_EQ(AppText(AppLanguage::english, preferred).duration(5), "5 minutes");
  EXPECT_EQ(preferred.reads, 0);
  EXPECT_EQ(resolved(AppLanguage::english, std::vector<std::string>{"zh-CN"}),
            AppLanguage::english);
}

TEST(AppLanguageTest, Locale) {
  EXPECT_EQ(locale(AppLanguage::simplifiedChinese, std::vector<std::string>{}), "zh_CN");
  EXPECT_EQ(locale(AppLanguage::english, std::vector<std::string>{"zh"}), "en_US");
  EXPECT_EQ(locale(AppLanguage::system, std::vector<std::string>{"zh-Hans"}), "zh_CN");
  EXPECT_EQ(locale(AppLanguage::system, std::vector<std::string>{}), "en_US");
}

TEST(AppTextTablesTest, EnglishTableHas117DistinctEntries) {
  const auto& table = AppText::englishTable();
  EXPECT_EQ(table.size(), 117u);
  std::set<std::string_view> keys;
  for (const auto& entry : table) keys.insert(entry.first);
  EXPECT_EQ(keys.size(), table.size());
}

TEST(AppTextTablesTest, EntriesInWrittenOrder) {
  const auto& table = AppText::englishTable();
  ASSERT_EQ(table.size(), 117u);
  const std::pair<std::size_t, std::pair<std::string_view, std::string_view>> spots[] = {
      {1,
       {"Quellan：合盖与开盖不休眠已开启", "Quellan: Closed-lid and open-lid keep-awake are on"}},
      {14,
       {"免费组件，由你在 macOS 中授权。仅在Quellan会话期间管理系统睡眠；开盖、退出或连接超时后恢复"
        "原设置。",
        "A free component approved by you in macOS. It manages system sleep during Quellan "
        "sessions and restores the original setting when you reopen the lid, quit, or the "
        "connection times out."}},
      {25,
       {"需要主动睡眠时，请先关闭Quellan。移除组件前，请先点“恢复睡眠并移除服务”。",
        "Turn Quellan off before choosing Sleep. Use Restore sleep & remove service before "
        "deleting this app."}},
      {49, {"Quellan", "Quellan"}},
      {77,
       {"请在系统设置 → 登录项中允许Quellan", "Allow Quellan in System Settings → Login Items."}},
      {79, {"Quellan：已开启，仅本次合盖不休眠", "Quellan: On, keep awake for this lid close"}},
      {85,
       {"恢复尚未确认，正在重试；请保持开盖",
        "Recovery isn't confirmed. Retrying; keep the lid open."}},
      {105,
       {"合盖运行中 · 开盖即结束", "Working with the lid closed. Reopening ends this session."}},
      {113,
       {"恢复尚未确认，正在重试。请保持开盖；必要时重启 Mac。",
        "Recovery isn't confirmed. Retrying. Keep the lid open; restart your Mac if needed."}},
      {117, {"读取显示器失败", "Couldn't read display status"}},
  };
  for (const auto& [number, entry] : spots) {
    EXPECT_EQ(table[number - 1], entry) << "entry " << number;
  }
}

TEST(AppTextTablesTest, PrefixTable) {
  const std::vector<std::pair<std::string_view, std::string_view>> expected = {
      {"开盖防休眠请求失败：", "Open-lid keep-awake request failed: "},
      {"开盖防休眠恢复失败：", "Could not release open-lid keep-awake: "},
      {"无法启动合盖进程：", "Couldn't start the session process: "},
      {"无法打开合盖接口：", "Couldn't open the lid-control interface: "},
      {"系统拒绝合盖设置：", "macOS rejected the lid setting: "},
      {"防睡眠请求失败：", "Keep-awake request failed: "},
  };
  EXPECT_EQ(AppText::prefixTable(), expected);
  for (const auto& [chinese, english] : AppText::prefixTable()) {
    EXPECT_TRUE(chinese.ends_with("\uFF1A")) << chinese;
    EXPECT_TRUE(english.ends_with(" ")) << english;
    for (const auto& other : AppText::prefixTable()) {
      if (other.first != chinese) {
        EXPECT_FALSE(other.first.starts_with(chinese)) << chinese;
      }
    }
  }
}

TEST(TranslateTest, English) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"找不到合盖控制接口", "Lid-control interface not found"},
      {"无法打开合盖接口：0xe00002c1", "Couldn't open the lid-control interface: 0xe00002c1"},
      {"开盖防休眠请求失败：0x00000001", "Open-lid keep-awake request failed: 0x00000001"},
      {"开盖防休眠恢复失败：0xe00002c2", "Could not release open-lid keep-awake: 0xe00002c2"},
      // The tail is passed on as it is, even when it is itself a known text.
      {"系统拒绝合盖设置：已关闭", "macOS rejected the lid setting: 已关闭"},
      {"防睡眠请求失败：", "Keep-awake request failed: "},
      {"无法启动合盖进程：", "Couldn't start the session process: "},
      {"正在连接兼容服务…", "Connecting to compatibility service…"},
      {"电量已降至 10%，开盖不休眠已关闭", "Battery reached 10%. Open-lid keep-awake turned off."},
      {"Quellan：已关闭", "Quellan: Off"},
      {"直到开盖", "Until reopened"},
      // Neither in the table nor behind a prefix: unchanged.
      {"正常", "正常"},
      {"温热", "温热"},
      {"高温", "高温"},
      {"过热", "过热"},
      {"未知", "未知"},
      {"", ""},
      {"Quellan：", "Quellan："},
      {"找不到合盖控制接口 ", "找不到合盖控制接口 "},
      {"x防睡眠请求失败：1", "x防睡眠请求失败：1"},
      {"无法打开合盖接口:0x1", "无法打开合盖接口:0x1"},
  };
  for (const auto& [key, english] : cases) {
    EXPECT_EQ(translate(key, AppLanguage::english), english) << key;
    EXPECT_EQ(translate(key, AppLanguage::simplifiedChinese), key) << key;
  }
}

TEST(TranslateTest, EveryTableEntry) {
  for (const auto& [chinese, english] : AppText::englishTable()) {
    EXPECT_EQ(translate(chinese, AppLanguage::english), english);
    EXPECT_EQ(translate(chinese, AppLanguage::simplifiedChinese), chinese);
  }
}

TEST(DurationTest, English) {
  const std::pair<std::int64_t, std::string_view> cases[] = {
      {0, "Until reopened"},
      {1, "1 minutes"},
      {30, "30 minutes"},
      {59, "59 minutes"},
      {60, "1 hour"},
      {90, "1 hour"},
      {119, "1 hour"},
      {120, "2 hours"},
      {150, "2 hours"},
      {1440, "24 hours"},
      {-5, "-5 minutes"},
      {-600, "-600 minutes"},
      {INT64_MAX, "153722867280912930 hours"},
      {INT64_MIN, "-9223372036854775808 minutes"},
  };
  for (const auto& [minutes, text] : cases) {
    EXPECT_EQ(duration(minutes, AppLanguage::english), text) << minutes;
  }
}

TEST(DurationTest, Chinese) {
  const std::pair<std::int64_t, std::string_view> cases[] = {
      {0, "直到开盖"}, {1, "1 分钟"},   {59, "59 分钟"},   {60, "1 小时"},  {119, "1 小时"},
      {120, "2 小时"}, {150, "2 小时"}, {1440, "24 小时"}, {-5, "-5 分钟"}, {-600, "-600 分钟"},
  };
  for (const auto& [minutes, text] : cases) {
    EXPECT_EQ(duration(minutes, AppLanguage::simplifiedChinese), text) << minutes;
  }
}

TEST(AppTextTest, SystemReadsThePreferredLanguagesAtEveryCall) {
  FakePreferredLanguages preferred({"zh-Hans-CN"});
  const AppText text(AppLanguage::system, preferred);
  EXPECT_EQ(text.language(), AppLanguage::system);
  EXPECT_EQ(text("选项"), "选项");
  EXPECT_EQ(text.duration(90), "1 小时");
  EXPECT_EQ(text.locale(), "zh_CN");

  preferred.list = {"en-US", "zh-Hans"};
  EXPECT_EQ(text("选项"), "Options");
  EXPECT_EQ(text.duration(90), "1 hour");
  EXPECT_EQ(text.locale(), "en_US");

  preferred.list.clear();
  EXPECT_EQ(text("无法打开合盖接口：0xe00002c1"),
            "Couldn't open the lid-control interface: 0xe00002c1");
  EXPECT_EQ(preferred.reads, 7);
}

TEST(AppTextTest, FixedLanguages) {
  FakePreferredLanguages preferred({"en"});
  EXPECT_EQ(AppText(AppLanguage::simplifiedChinese, preferred)("选项"), "选项");
  EXPECT_EQ(AppText(AppLanguage::simplifiedChinese, preferred).duration(0), "直到开盖");
  EXPECT_EQ(AppText(AppLanguage::simplifiedChinese, preferred).locale(), "zh_CN");
  EXPECT_EQ(AppText(AppLanguage::english, preferred)("返回"), "Back");
  EXPECT_EQ(preferred.reads, 0);
}

}  // namespace
}  // namespace dravik
