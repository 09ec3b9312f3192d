// Each seam reads what the machine's state says, and honours its faults.

#include <gtest/gtest.h>
#include <stdlib.h>

#include "Platform/Sim/SimClock.h"
#include "Platform/Sim/SimDisplays.h"
#include "Platform/Sim/SimMachine.h"
#include "Platform/Sim/SimPowerAssertions.h"
#include "Platform/Sim/SimPowerRegistry.h"
#include "Platform/Sim/SimPowerSources.h"
#include "Platform/Sim/SimSystemReadings.h"

namespace dravik::platform::sim {
namespace {

class SimSeamsTest : public ::testing::Test {
 protected:
  void change(const std::function<void(Machine&)>& edit) { machine_.state().update(edit); }
  const std::string& root() { return machine_.root(); }

  TemporaryMachine machine_;
};

TEST_F(SimSeamsTest, RegistryReadsRootDomainProperties) {
  SimPowerRegistry registry(root());
  const std::uint32_t service = registry.matchRootDomain();
  ASSERT_NE(service, 0u);
  std::uint32_t connection = 0;
  ASSERT_EQ(registry.open(service, &connection), 0);
  EXPECT_NE(connection, 0u);
  EXPECT_EQ(registry.property(service, "SleepDisabled"), PropertyValue(false));
  EXPECT_EQ(registry.property(service, "AppleClamshellState"), PropertyValue(false));
  EXPECT_FALSE(registry.property(service, "NoSuchProperty"));

  change([](Machine& m) {
    setLidClosed(m, true);
    m.rootDomain["SleepDisabled"] = std::int64_t{1};
    m.rootDomain["Label"] = std::string("x");
  });
  EXPECT_EQ(registry.property(service, "AppleClamshellState"), PropertyValue(true));
  EXPECT_EQ(registry.property(service, "SleepDisabled"), PropertyValue(std::int64_t{1}));
  EXPECT_EQ(registry.property(service, "Label"), PropertyValue(std::string("x")));
  EXPECT_FALSE(registry.property(service + 100, "SleepDisabled"));

  registry.close(connection);
  registry.release(service);
  EXPECT_FALSE(registry.property(service, "SleepDisabled"));
}

TEST_F(SimSeamsTest, RegistryFaults) {
  SimPowerRegistry registry(root());
  change([](Machine& m) { m.faults.rootDomainMissing = true; });
  EXPECT_EQ(registry.matchRootDomain(), 0u);
  change([](Machine& m) {
    m.faults.rootDomainMissing = false;
    m.faults.openReturns = static_cast<std::int32_t>(0xe00002c1);
  });
  const std::uint32_t service = registry.matchRootDomain();
  std::uint32_t connection = 77;
  EXPECT_EQ(registry.open(service, &connection), static_cast<std::int32_t>(0xe00002c1));
  EXPECT_EQ(connection, 77u);
  EXPECT_EQ(registry.open(0, &connection), kReturnBadArgument);
}

TEST_F(SimSeamsTest, NothingIsReadWithoutAMachine) {
  const std::string nowhere = root() + "/missing";
  SimPowerRegistry registry(nowhere);
  EXPECT_EQ(registry.matchRootDomain(), 0u);
  EXPECT_FALSE(SimPowerSources(nowhere).copyInfo());
  std::uint32_t count = 0;
  EXPECT_EQ(SimDisplays(nowhere).onlineDisplayList(0, nullptr, &count), kDisplayErrorFailure);
  EXPECT_EQ(SimThermalState(nowhere).thermalState(), -1);
  EXPECT_EQ(SimConsoleUser(nowhere).consoleUid(), 0u);
  EXPECT_FALSE(SimRunningApplications(nowhere).isRunning("a"));
  std::uint32_t id = 0;
  EXPECT_EQ(SimPowerAssertions(nowhere).create({{"AssertType", std::string("T")}}, &id),
            kReturnError);
}

TEST_F(SimSeamsTest, PowerSourcesReadTheStateAndItsFault) {
  SimPowerSources sources(root());
  auto info = sources.copyInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->providingType, "AC Power");
  ASSERT_TRUE(info->sources);
  ASSERT_EQ(info->sources->size(), 1u);
  EXPECT_EQ(info->sources->at(0)->at("Current Capacity"), SourceValue(std::int64_t{80}));

  change([](Machine& m) {
    setBattery(m, 9, true);
    m.powerSources.sources->push_back(std::nullopt);
  });
  info = sources.copyInfo();
  EXPECT_EQ(info->providingType, "Battery Power");
  EXPECT_EQ(info->sources->at(0)->at("Current Capacity"), SourceValue(std::int64_t{9}));
  EXPECT_FALSE(info->sources->at(1));

  change([](Machine& m) {
    m.powerSources.providingType.reset();
    m.powerSources.sources.reset();
  });
  info = sources.copyInfo();
  ASSERT_TRUE(info);
  EXPECT_FALSE(info->providingType);
  EXPECT_FALSE(info->sources);

  change([](Machine& m) { m.faults.powerSourcesAbsent = true; });
  EXPECT_FALSE(sources.copyInfo());
}

TEST_F(SimSeamsTest, DisplaysListAndFaults) {
  SimDisplays displays(root());
  change([](Machine& m) { m.displays.push_back(Display{5, false}); });
  std::uint32_t count = 0;
  ASSERT_EQ(displays.onlineDisplayList(0, nullptr, &count), 0);
  EXPECT_EQ(count, 2u);
  std::uint32_t ids[4] = {};
  ASSERT_EQ(displays.onlineDisplayList(4, ids, &count), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(ids[0], 1u);
  EXPECT_EQ(ids[1], 5u);
  ASSERT_EQ(displays.onlineDisplayList(1, ids, &count), 0);
  EXPECT_EQ(count, 1u);
  EXPECT_TRUE(displays.isBuiltin(1));
  EXPECT_FALSE(displays.isBuiltin(5));
  EXPECT_FALSE(displays.isBuiltin(99));

  change([](Machine& m) { m.faults.displayCount = 65; });
  ASSERT_EQ(displays.onlineDisplayList(0, nullptr, &count), 0);
  EXPECT_EQ(count, 65u);
  change([](Machine& m) { m.faults.displayCountFails = 1001; });
  EXPECT_EQ(displays.onlineDisplayList(0, nullptr, &count), 1001);
  change([](Machine& m) {
    m.faults = Faults{};
    m.faults.displayListFails = 1002;
  });
  ASSERT_EQ(displays.onlineDisplayList(0, nullptr, &count), 0);
  EXPECT_EQ(displays.onlineDisplayList(4, ids, &count), 1002);
  change([](Machine& m) {
    m.faults = Faults{};
    m.displays.clear();
  });
  ASSERT_EQ(displays.onlineDisplayList(0, nullptr, &count), 0);
  EXPECT_EQ(count, 0u);
}

TEST_F(SimSeamsTest, SmallReadings) {
  SimThermalState thermal(root());
  SimConsoleUser console(root());
  SimRunningApplications apps(root());
  EXPECT_EQ(thermal.thermalState(), 0);
  EXPECT_EQ(console.consoleUid(), 501u);
  EXPECT_FALSE(apps.isRunning("com.example.clamshell"));
  change([](Machine& m) {
    m.thermalState = 4;
    m.consoleUid = 0;
    m.runningApplications = {"com.example.clamshell"};
  });
  EXPECT_EQ(thermal.thermalState(), 4);
  EXPECT_EQ(console.consoleUid(), 0u);
  EXPECT_TRUE(apps.isRunning("com.example.clamshell"));
  EXPECT_FALSE(apps.isRunning("com.example"));
}

TEST_F(SimSeamsTest, ClockAddsTheMachineOffsets) {
  SimClock clock(root());
  const double before = clock.continuousSeconds();
  const double uptimeBefore = clock.uptimeSeconds();
  change([](Machine& m) { advanceClock(m, 1000); });
  const double after = clock.continuousSeconds();
  EXPECT_GE(after - before, 1000.0);
  EXPECT_LT(after - before, 1060.0);
  EXPECT_GE(clock.uptimeSeconds() - uptimeBefore, 1000.0);
  EXPECT_GE(before, realContinuousSeconds() - 60);

  change(freezeClock);
  const double frozen = clock.continuousSeconds();
  EXPECT_EQ(clock.continuousSeconds(), frozen);
  change([](Machine& m) { advanceClock(m, 0.5); });
  EXPECT_EQ(clock.continuousSeconds(), frozen + 0.5);
}

TEST_F(SimSeamsTest, ClockFollowsDravikMachine) {
  change([](Machine& m) {
    freezeClock(m);
    m.frozenClock->continuous = 42;
  });
  ::setenv("DRAVIK_MACHINE", root().c_str(), 1);
  SimClock clock;
  EXPECT_EQ(clock.continuousSeconds(), 42);
  ::unsetenv("DRAVIK_MACHINE");
}

const AssertionProperties kIdleAssertion = {
    {"AssertType", std::string("PreventUserIdleSystemSleep")},
    {"AssertName", std::string("Quellan · Open-lid keep awake")},
    {"AssertLevel", std::int64_t{255}},
    {"TimeoutSeconds", 30.0},
    {"TimeoutAction", std::string("TimeoutActionRelease")},
};

TEST_F(SimSeamsTest, AssertionLapsesThirtySecondsAfterItsLastRenewal) {
  change(freezeClock);
  SimPowerAssertions assertions(root());
  std::uint32_t id = 0;
  ASSERT_EQ(assertions.create(kIdleAssertion, &id), 0);
  EXPECT_NE(id, 0u);
  EXPECT_TRUE(assertions.exists(id));

  change([](Machine& m) { advanceClock(m, 29.9); });
  EXPECT_TRUE(assertions.exists(id));
  change([](Machine& m) { advanceClock(m, 0.1); });
  EXPECT_FALSE(assertions.exists(id));
  EXPECT_EQ(assertions.setProperty(id, "TimeoutSeconds", 30.0), kReturnNotFound);
  EXPECT_EQ(assertions.release(id), kReturnNotFound);
}

TEST_F(SimSeamsTest, SettingTheTimeoutRestartsIt) {
  change(freezeClock);
  SimPowerAssertions assertions(root());
  std::uint32_t id = 0;
  ASSERT_EQ(assertions.create(kIdleAssertion, &id), 0);
  change([](Machine& m) { advanceClock(m, 20); });
  ASSERT_EQ(assertions.setProperty(id, "TimeoutSeconds", 30.0), 0);
  change([](Machine& m) { advanceClock(m, 29.9); });
  EXPECT_TRUE(assertions.exists(id));
  change([](Machine& m) { advanceClock(m, 0.1); });
  EXPECT_FALSE(assertions.exists(id));
}

TEST_F(SimSeamsTest, AssertionsAreDistinctAndReleasedOnce) {
  SimPowerAssertions assertions(root());
  std::uint32_t first = 0;
  std::uint32_t second = 0;
  ASSERT_EQ(assertions.create(kIdleAssertion, &first), 0);
  ASSERT_EQ(assertions.create({{"AssertType", std::string("NoIdleSleepAssertion")}}, &second), 0);
  EXPECT_NE(first, second);
  EXPECT_EQ(assertions.release(first), 0);
  EXPECT_FALSE(assertions.exists(first));
  EXPECT_TRUE(assertions.exists(second));
  EXPECT_EQ(assertions.release(first), kReturnNotFound);
  EXPECT_EQ(assertions.release(12345), kReturnNotFound);
  // Without a release action an assertion never lapses.
  change([](Machine& m) { advanceClock(m, 1e6); });
  EXPECT_TRUE(assertions.exists(second));
}

TEST_F(SimSeamsTest, AssertionArgumentsAndFaults) {
  SimPowerAssertions assertions(root());
  std::uint32_t id = 0;
  EXPECT_EQ(assertions.create({{"AssertName", std::string("x")}}, &id), kReturnBadArgument);
  EXPECT_EQ(assertions.create(
                {{"AssertType", std::string("T")}, {"TimeoutSeconds", std::string("soon")}}, &id),
            kReturnBadArgument);
  ASSERT_EQ(assertions.create(kIdleAssertion, &id), 0);
  EXPECT_EQ(assertions.setProperty(id, "TimeoutSeconds", std::string("x")), kReturnBadArgument);

  change([](Machine& m) {
    m.faults.assertionCreateReturns = kReturnError;
    m.faults.assertionSetPropertyReturns = kReturnBadArgument;
    m.faults.assertionReleaseReturns = kReturnNotFound;
  });
  std::uint32_t other = 0;
  EXPECT_EQ(assertions.create(kIdleAssertion, &other), kReturnError);
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(assertions.setProperty(id, "TimeoutSeconds", 30.0), kReturnBadArgument);
  EXPECT_EQ(assertions.release(id), kReturnNotFound);
  EXPECT_TRUE(assertions.exists(id));
}

}  // namespace
}  // namespace dravik::platform::sim
