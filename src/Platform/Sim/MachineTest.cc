#include <gtest/gtest.h>

#include "Platform/Sim/Machine.h"

namespace dravik::platform::sim {
namespace {

using nlohmann::json;

TEST(MachineJsonTest, RoundTripKeepsEveryKnownField) {
  Machine machine = defaultMachine();
  machine.lidClosed = true;
  machine.asleep = true;
  machine.rootDomain["Number"] = std::int64_t{1};
  machine.rootDomain["Ratio"] = 0.5;
  machine.rootDomain["Text"] = std::string("x");
  machine.pendingSleepDisabled = PendingSleepDisabled{true, 12.5};
  machine.pmsetSleepDisabled = true;
  machine.powerSources.providingType.reset();
  machine.powerSources.sources->push_back(std::nullopt);
  machine.displays.push_back(Display{7, false});
  machine.thermalState = 3;
  machine.consoleUid = 0;
  machine.runningApplications = {"com.example.one"};
  machine.assertions.push_back(
      Assertion{4, {{"AssertType", std::string("T")}, {"TimeoutSeconds", 30.0}}, 1.25, 99});
  machine.nextAssertionId = 5;
  machine.continuousOffset = 3;
  machine.uptimeOffset = 2;
  machine.frozenClock = FrozenClock{100, 50};
  machine.faults.openReturns = kReturnNotFound;
  machine.faults.displayCount = 65;
  machine.faults.pmsetForkChild = 5;
  machine.faults.pmsetOutputBytes = 16385;

  const json document = toJson(machine);
  const Machine back = machineFromJson(json::parse(document.dump()));
  EXPECT_EQ(toJson(back), document);
  EXPECT_EQ(back.rootDomain.at("Number"), PropertyValue(std::int64_t{1}));
  EXPECT_EQ(back.rootDomain.at("Ratio"), PropertyValue(0.5));
  EXPECT_EQ(back.assertions.at(0).properties.at("TimeoutSeconds"), AssertionValue(30.0));
  EXPECT_FALSE(back.powerSources.providingType);
  EXPECT_FALSE(back.powerSources.sources->back());
  EXPECT_EQ(back.faults, machine.faults);
}

TEST(MachineJsonTest, UnknownSectionsArePreservedAndKnownOnesStayTyped) {
  json document = toJson(defaultMachine());
  document["services"] = {{"CompatibilityService.plist", {{"state", "enabled"}}}};
  document["anchor"] = "/etc/anchor.pub";
  const Machine machine = machineFromJson(document);
  EXPECT_EQ(machine.sections.size(), 2u);
  EXPECT_EQ(machine.sections.at("anchor"), "/etc/anchor.pub");
  EXPECT_FALSE(machine.sections.contains("lid"));
  EXPECT_EQ(toJson(machine), document);
}

TEST(MachineJsonTest, MissingSectionsTakeDefaultsAndOddValuesAreDropped) {
  const Machine machine =
      machineFromJson(json::parse(R"({"rootDomain": {"List": [1], "Flag": true}})"));
  EXPECT_FALSE(machine.lidClosed);
  EXPECT_EQ(machine.rootDomain.size(), 1u);
  EXPECT_FALSE(machine.powerSources.sources);
  EXPECT_THROW(machineFromJson(json::array()), json::type_error);
  EXPECT_THROW(machineFromJson(json::parse(R"({"thermalState": "hot"})")), json::type_error);
}

TEST(MachineTest, DefaultsAreAnOpenMacOnAcWithTheBuiltInDisplay) {
  const Machine machine = defaultMachine();
  EXPECT_EQ(macNow(machine), MacActivity::kAwake);
  EXPECT_EQ(machine.rootDomain.at("SleepDisabled"), PropertyValue(false));
  EXPECT_EQ(machine.rootDomain.at("AppleClamshellState"), PropertyValue(false));
  EXPECT_EQ(machine.powerSources.providingType, "AC Power");
  const SourceDescription& battery = *machine.powerSources.sources->at(0);
  EXPECT_EQ(battery.at("Type"), SourceValue(std::string("InternalBattery")));
  EXPECT_EQ(battery.at("Current Capacity"), SourceValue(std::int64_t{80}));
  EXPECT_EQ(battery.at("Max Capacity"), SourceValue(std::int64_t{100}));
  ASSERT_EQ(machine.displays.size(), 1u);
  EXPECT_TRUE(machine.displays[0].builtin);
  EXPECT_EQ(machine.consoleUid, 501u);
  EXPECT_EQ(machine.thermalState, 0);
}

// Each row: steps from a fresh machine, and what the Mac does after them.
TEST(LidModelTest, FollowsWhatAMacDoes) {
  enum Step { kClose, kOpen, kDisable, kEnable, kSleepRequest };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    MacActivity expected;
  };
  const std::vector<Case> cases = {
      {"close with sleep enabled", {kClose}, MacActivity::kAsleep},
      {"close with SleepDisabled", {kDisable, kClose}, MacActivity::kAwakeLidClosed},
      {"SleepDisabled off while closed", {kDisable, kClose, kEnable}, MacActivity::kAwakeLidClosed},
      {"then a sleep request", {kDisable, kClose, kEnable, kSleepRequest}, MacActivity::kAsleep},
      {"sleep request refused", {kDisable, kClose, kSleepRequest}, MacActivity::kAwakeLidClosed},
      {"reopen after sleeping", {kClose, kOpen}, MacActivity::kAwake},
      {"reopen awake", {kDisable, kClose, kEnable, kOpen}, MacActivity::kAwake},
      {"SleepDisabled set while asleep", {kClose, kDisable}, MacActivity::kAsleep},
      {"close twice", {kDisable, kClose, kEnable, kClose}, MacActivity::kAwakeLidClosed},
  };
  for (const auto& c : cases) {
    Machine machine = defaultMachine();
    for (Step step : c.steps) {
      switch (step) {
        case kClose:
          setLidClosed(machine, true);
          break;
        case kOpen:
          setLidClosed(machine, false);
          break;
        case kDisable:
          setSleepDisabled(machine, true);
          break;
        case kEnable:
          setSleepDisabled(machine, false);
          break;
        case kSleepRequest:
          requestSleep(machine);
          break;
      }
    }
    EXPECT_EQ(macNow(machine), c.expected) << c.name;
    EXPECT_EQ(machine.rootDomain.at("AppleClamshellState"), PropertyValue(machine.lidClosed))
        << c.name;
  }
}

TEST(LidModelTest, OnlyABooleanTrueSleepDisabledKeepsAClosedMacAwake) {
  Machine machine = defaultMachine();
  machine.rootDomain["SleepDisabled"] = std::int64_t{1};
  setLidClosed(machine, true);
  EXPECT_EQ(macNow(machine), MacActivity::kAsleep);
}

TEST(LidModelTest, DescribesWhatTheMacDoes) {
  EXPECT_EQ(describe(MacActivity::kAsleep), "asleep");
  EXPECT_EQ(describe(MacActivity::kAwakeLidClosed), "awake, lid closed");
  EXPECT_EQ(describe(MacActivity::kAwake), "awake");
}

TEST(MachineTest, PmsetChangeReachesTheRootDomainAfterTheLag) {
  Machine machine = defaultMachine();
  machine.faults.rootDomainLag = 0.3;
  pmsetSetSleepDisabled(machine, true, 100.0);
  EXPECT_TRUE(machine.pmsetSleepDisabled);
  settle(machine, 100.29);
  EXPECT_FALSE(rootDomainSleepDisabled(machine));
  settle(machine, 100.3);
  EXPECT_TRUE(rootDomainSleepDisabled(machine));
  EXPECT_FALSE(machine.pendingSleepDisabled);

  machine.faults = Faults{};
  machine.faults.rootDomainNeverFollows = true;
  pmsetSetSleepDisabled(machine, false, 200.0);
  settle(machine, 1e9);
  EXPECT_FALSE(machine.pmsetSleepDisabled);
  EXPECT_TRUE(rootDomainSleepDisabled(machine));
}

TEST(MachineTest, AssertionLapsesOnlyWithTheReleaseAction) {
  Assertion timed{
      1, {{"TimeoutSeconds", 30.0}, {"TimeoutAction", std::string("TimeoutActionRelease")}}};
  EXPECT_EQ(lapseAfter(timed), 30.0);
  timed.properties["TimeoutSeconds"] = std::int64_t{5};
  EXPECT_EQ(lapseAfter(timed), 5.0);
  timed.properties["TimeoutSeconds"] = 0.0;
  EXPECT_FALSE(lapseAfter(timed));
  Assertion logged{2,
                   {{"TimeoutSeconds", 30.0}, {"TimeoutAction", std::string("TimeoutActionLog")}}};
  EXPECT_FALSE(lapseAfter(logged));
  Assertion plain{3, {{"TimeoutSeconds", 30.0}}};
  EXPECT_FALSE(lapseAfter(plain));
}

TEST(MachineTest, UptimeStandsStillWhileAsleep) {
  Machine machine = defaultMachine();
  freezeClock(machine);
  const double continuous = continuousNow(machine);
  const double uptime = uptimeNow(machine);
  advanceClock(machine, 10);
  setLidClosed(machine, true);
  advanceClock(machine, 5);
  EXPECT_DOUBLE_EQ(continuousNow(machine), continuous + 15);
  EXPECT_DOUBLE_EQ(uptimeNow(machine), uptime + 10);
  runClock(machine);
  EXPECT_GE(continuousNow(machine), continuous + 15);
  EXPECT_LT(continuousNow(machine), continuous + 15 + 60);
}

}  // namespace
}  // namespace dravik::platform::sim
