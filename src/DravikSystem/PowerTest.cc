#include <gtest/gtest.h>

#include <vector>

#include "DravikSystem/Power.h"
#include "Platform/Fake/FakeDisplays.h"
#include "Platform/Fake/FakePowerRegistry.h"
#include "Platform/Fake/FakePowerSources.h"
#include "Platform/Fake/FakeSystemReadings.h"

namespace dravik {
namespace {

using platform::FakeDisplays;
using platform::FakePowerRegistry;
using platform::FakePowerSources;
using platform::PowerSourcesInfo;
using platform::SourceDescription;

std::string errorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const PowerError& error) {
    return error.what();
  }
  return "(no error)";
}

// --- PowerDriver ---------------------------------------------------------------------

TEST(PowerDriverTest, HoldsBothHandlesAndGivesThemBackOnceInOrder) {
  FakePowerRegistry registry;
  {
    PowerDriver driver(registry);
    EXPECT_EQ(driver.root(), FakePowerRegistry::kRootService);
    EXPECT_TRUE(registry.closedConnections().empty());
    EXPECT_TRUE(registry.releasedServices().empty());
  }
  EXPECT_EQ(registry.calls(), (std::vector<std::string>{"match", "open", "close", "release"}));
  EXPECT_EQ(registry.closedConnections(),
            std::vector<std::uint32_t>{FakePowerRegistry::kConnection});
  EXPECT_EQ(registry.releasedServices(),
            std::vector<std::uint32_t>{FakePowerRegistry::kRootService});
}

TEST(PowerDriverTest, NoRootDomainFailsAndTakesNothing) {
  FakePowerRegistry registry;
  registry.setMatchFails(true);
  EXPECT_EQ(errorText([&] { PowerDriver driver(registry); }), "找不到合盖控制接口");
  EXPECT_EQ(registry.openCalls(), 0);
  EXPECT_TRUE(registry.releasedServices().empty());
  EXPECT_TRUE(registry.closedConnections().empty());
}

TEST(PowerDriverTest, OpenFailureReleasesTheServiceAndNamesTheCode) {
  FakePowerRegistry registry;
  registry.setOpenResult(-536870207);
  EXPECT_EQ(errorText([&] { PowerDriver driver(registry); }), "无法打开合盖接口：0xe00002c1");
  EXPECT_EQ(registry.releasedServices(),
            std::vector<std::uint32_t>{FakePowerRegistry::kRootService});
  EXPECT_TRUE(registry.closedConnections().empty());
}

TEST(PowerDriverTest, HexRendersTheUnsignedBitPattern) {
  const std::vector<std::pair<std::int32_t, std::string>> cases = {
      {-536870207, "0xe00002c1"}, {-1, "0xffffffff"},        {255, "0x000000ff"},
      {0, "0x00000000"},          {INT32_MIN, "0x80000000"}, {INT32_MAX, "0x7fffffff"},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(PowerDriver::hex(code), text) << code;
}

TEST(PowerDriverTest, BoolPropertyReadsOnlyBooleans) {
  FakePowerRegistry registry;
  registry.setProperty("True", true);
  registry.setProperty("False", false);
  registry.setProperty("IntegerOne", std::int64_t{1});
  registry.setProperty("IntegerZero", std::int64_t{0});
  registry.setProperty("Real", 1.0);
  registry.setProperty("Text", std::string("true"));
  PowerDriver driver(registry);

  const std::vector<std::pair<std::string, std::optional<bool>>> cases = {
      {"True", true},
      {"False", false},
      {"IntegerOne", std::nullopt},
      {"IntegerZero", std::nullopt},
      {"Real", std::nullopt},
      {"Text", std::nullopt},
      {"Missing", std::nullopt},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(driver.boolProperty(name), expected) << name;
}

TEST(PowerDriverTest, BoolPropertyReadsAfreshEachTime) {
  FakePowerRegistry registry;
  registry.setProperty("AppleClamshellState", false);
  PowerDriver driver(registry);
  EXPECT_EQ(driver.boolProperty("AppleClamshellState"), false);
  registry.setProperty("AppleClamshellState", true);
  EXPECT_EQ(driver.boolProperty("AppleClamshellState"), true);
  registry.removeProperty("AppleClamshellState");
  EXPECT_EQ(driver.boolProperty("AppleClamshellState"), std::nullopt);
}

// --- batteryReading ------------------------------------------------------------------

BatteryReading readingOf(std::optional<PowerSourcesInfo> info) {
  FakePowerSources sources;
  sources.setInfo(std::move(info));
  return batteryReading(sources);
}

PowerSourcesInfo oneSource(SourceDescription description, std::string type = "Battery Power") {
  return PowerSourcesInfo{std::move(type),
                          std::vector<std::optional<SourceDescription>>{std::move(description)}};
}

TEST(BatteryReadingTest, NoInformationIsAbsentAndOnBattery) {
  EXPECT_EQ(readingOf(std::nullopt), (BatteryReading{std::nullopt, true}));
}

TEST(BatteryReadingTest, OnBatteryOnlyForExactlyBatteryPower) {
  const auto battery = FakePowerSources::internalBattery(80, 100);
  const std::vector<std::pair<std::optional<std::string>, bool>> cases = {
      {"Battery Power", true},   {"AC Power", false},   {"battery power", false},
      {"Battery Power ", false}, {std::nullopt, false},
  };
  for (const auto& [type, onBattery] : cases) {
    PowerSourcesInfo info{type, std::vector<std::optional<SourceDescription>>{battery}};
    EXPECT_EQ(readingOf(info), (BatteryReading{80, onBattery})) << type.value_or("(absent)");
  }
}

TEST(BatteryReadingTest, PercentIsTheTruncatedDoubleQuotient) {
  EXPECT_EQ(readingOf(oneSource(FakePowerSources::internalBattery(57, 100))).percent, 56);
  EXPECT_EQ(readingOf(oneSource(FakePowerSources::internalBattery(100, 100))).percent, 100);
  EXPECT_EQ(readingOf(oneSource(FakePowerSources::internalBattery(150, 100))).percent, 150);
  EXPECT_EQ(readingOf(oneSource(FakePowerSources::internalBattery(0, 100))).percent, 0);
  EXPECT_EQ(readingOf(oneSource(FakePowerSources::internalBattery(1, 3))).percent, 33);
}

TEST(BatteryReadingTest, OnlyTwentyNineFiftySevenAndFiftyEightOfHundredReadOneLow) {
  std::vector<std::int64_t> low;
  for (std::int64_t current = 0; current <= 100; ++current) {
    const auto percent =
        readingOf(oneSource(FakePowerSources::internalBattery(current, 100))).percent;
    ASSERT_TRUE(percent.has_value());
    if (*percent != current) {
      EXPECT_EQ(*percent, current - 1);
      low.push_back(current);
    }
  }
  EXPECT_EQ(low, (std::vector<std::int64_t>{29, 57, 58}));
}

TEST(BatteryReadingTest, UnusableSourcesAreSkippedAndALaterBatteryStillCounts) {
  SourceDescription zeroMax = FakePowerSources::internalBattery(50, 0);
  SourceDescription negativeMax = FakePowerSources::internalBattery(50, -5);
  SourceDescription realCurrent = FakePowerSources::internalBattery(50, 100);
  realCurrent["Current Capacity"] = 50.0;
  SourceDescription textMax = FakePowerSources::internalBattery(50, 100);
  textMax["Max Capacity"] = std::string("100");
  SourceDescription boolCurrent = FakePowerSources::internalBattery(50, 100);
  boolCurrent["Current Capacity"] = true;
  SourceDescription noCurrent = FakePowerSources::internalBattery(50, 100);
  noCurrent.erase("Current Capacity");
  SourceDescription ups = FakePowerSources::internalBattery(90, 100);
  ups["Type"] = std::string("UPS");
  SourceDescription typeNotText = FakePowerSources::internalBattery(90, 100);
  typeNotText["Type"] = std::int64_t{1};
  SourceDescription noType = FakePowerSources::internalBattery(90, 100);
  noType.erase("Type");

  for (const auto& skipped : {zeroMax, negativeMax, realCurrent, textMax, boolCurrent, noCurrent,
                              ups, typeNotText, noType}) {
    // Alone: no percent.
    EXPECT_EQ(readingOf(oneSource(skipped)), (BatteryReading{std::nullopt, true}));
    // Followed by a good battery: that one is read.
    PowerSourcesInfo info{"Battery Power", std::vector<std::optional<SourceDescription>>{
                                               skipped, FakePowerSources::internalBattery(42, 84)}};
    EXPECT_EQ(readingOf(info), (BatteryReading{50, true}));
  }
}

TEST(BatteryReadingTest, FirstUsableBatteryWinsAndMissingDescriptionsAreSkipped) {
  PowerSourcesInfo info{"AC Power", std::vector<std::optional<SourceDescription>>{
                                        std::nullopt, FakePowerSources::internalBattery(30, 100),
                                        FakePowerSources::internalBattery(90, 100)}};
  EXPECT_EQ(readingOf(info), (BatteryReading{30, false}));
}

TEST(BatteryReadingTest, NoListOrEmptyListLeavesPercentAbsent) {
  EXPECT_EQ(readingOf(PowerSourcesInfo{"AC Power", std::nullopt}),
            (BatteryReading{std::nullopt, false}));
  EXPECT_EQ(
      readingOf(PowerSourcesInfo{"Battery Power", std::vector<std::optional<SourceDescription>>{}}),
      (BatteryReading{std::nullopt, true}));
}

TEST(BatteryReadingTest, CapacityBeyondTheIntegerRangeIsNoReading) {
  EXPECT_EQ(readingOf(oneSource(FakePowerSources::internalBattery(INT64_MAX, 1))).percent,
            std::nullopt);
  EXPECT_EQ(readingOf(oneSource(FakePowerSources::internalBattery(INT64_MIN, 1))).percent,
            std::nullopt);
}

// --- externalDisplayCount ------------------------------------------------------------

TEST(ExternalDisplayCountTest, CountsDisplaysThatAreNotBuiltIn) {
  FakeDisplays displays;
  displays.setDisplays({{1, true}});
  EXPECT_EQ(externalDisplayCount(displays), 0);
  displays.setDisplays({{1, true}, {5, false}, {9, false}});
  EXPECT_EQ(externalDisplayCount(displays), 2);
  displays.setDisplays({{5, false}});  // lid closed: only the external one is online
  EXPECT_EQ(externalDisplayCount(displays), 1);
}

TEST(ExternalDisplayCountTest, FailuresAndImpossibleCounts) {
  struct Case {
    const char* name;
    std::function<void(FakeDisplays&)> setUp;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no display online", [](FakeDisplays& d) { d.setDisplays({}); }, "无法确认显示器状态"},
      {"counting call fails", [](FakeDisplays& d) { d.setCountCallResult(1001); },
       "无法确认显示器状态"},
      {"65 displays", [](FakeDisplays& d) { d.setReportedCount(65); }, "无法确认显示器状态"},
      {"listing call fails", [](FakeDisplays& d) { d.setListCallResult(1001); }, "读取显示器失败"},
  };
  for (const auto& c : cases) {
    FakeDisplays displays;
    displays.setDisplays({{1, true}, {2, false}});
    c.setUp(displays);
    EXPECT_EQ(errorText([&] { externalDisplayCount(displays); }), c.message) << c.name;
  }
}

TEST(ExternalDisplayCountTest, SixtyFourDisplaysAreCounted) {
  FakeDisplays displays;
  std::vector<FakeDisplays::Display> list{{1, true}};
  for (std::uint32_t id = 2; id <= 64; ++id) list.push_back({id, false});
  displays.setDisplays(list);
  EXPECT_EQ(externalDisplayCount(displays), 63);
}

TEST(ExternalDisplayCountTest, OnlyTheIdentifiersBothCallsAgreeOnAreChecked) {
  FakeDisplays displays;
  // One display went away between the two calls: the listing reports fewer.
  displays.setDisplays({{5, false}, {6, false}});
  displays.setReportedCount(3);
  EXPECT_EQ(externalDisplayCount(displays), 2);
  // A listing that claims more than the buffer holds is read no further than the buffer.
  displays.setReportedCount(std::nullopt);
  displays.setListedCount(50);
  EXPECT_EQ(externalDisplayCount(displays), 2);
}

// --- conflictingApp and thermalLabel ------------------------------------------------

TEST(ConflictingAppTest, AsksForTheClamshellUtility) {
  platform::FakeRunningApplications applications;
  EXPECT_FALSE(conflictingApp(applications));
  applications.setRunning(std::string(kClamshellBundleIdentifier), true);
  EXPECT_TRUE(conflictingApp(applications));
  EXPECT_EQ(applications.queries(),
            (std::vector<std::string>(2, std::string(kClamshellBundleIdentifier))));
}

TEST(ThermalLabelTest, NamesEachState) {
  const std::vector<std::pair<int, std::string>> cases = {
      {0, "正常"}, {1, "温热"}, {2, "高温"}, {3, "过热"}, {4, "未知"}, {99, "未知"}, {-1, "未知"},
  };
  for (const auto& [state, label] : cases) {
    platform::FakeThermalState thermal(state);
    EXPECT_EQ(thermalLabel(thermal), label) << state;
  }
}

}  // namespace
}  // namespace dravik
