#include <gtest/gtest.h>

#include "QuellanSleepService/DaemonTestRig.h"
#include "QuellanSleepService/ServiceEndpoint.h"
#include "QuellanSleepService/SleepDaemon.h"

namespace quellan {
namespace {

using dravik::platform::LogLevel;
using dravik::platform::LogRecord;

class SleepDaemonTest : public ::testing::Test {
 protected:
  void beginSession() {
    endpoint = ServiceEndpoint::make(DaemonTestRig::kUser, rig.lease, rig.power, rig.services);
    bool ok = false;
    endpoint->beginSession(0, [&](bool answer, auto) { ok = answer; });
    rig.mainQueue.runAll();
    ASSERT_TRUE(ok);
  }

  DaemonTestRig rig;
  SleepDaemon daemon{rig.lease, rig.power, rig.services};
  std::shared_ptr<ServiceEndpoint> endpoint;
};

TEST_F(SleepDaemonTest, IdleTickReadsNothing) {
  int sourceCalls = rig.sources.copyCalls();
  int lidReads = rig.registry.propertyReads("AppleClamshellState");
  daemon.tick();
  EXPECT_EQ(rig.sources.copyCalls(), sourceCalls);
  EXPECT_EQ(rig.registry.propertyReads("AppleClamshellState"), lidReads);
  EXPECT_TRUE(rig.setting.calls().empty());
  EXPECT_TRUE(rig.journal.calls().empty());
}

TEST_F(SleepDaemonTest, SafeVerdict) {
  struct Case {
    const char* name;
    std::function<void(DaemonTestRig&)> arrange;
    bool safe;
  };
  const Case cases[] = {
      {"all good", [](DaemonTestRig&) {}, true},
      {"battery unreadable", [](DaemonTestRig& r) { r.sources.setInfo(std::nullopt); }, false},
      {"10% on battery", [](DaemonTestRig& r) { r.setBattery(10, true); }, false},
      {"10% on external power", [](DaemonTestRig& r) { r.setBattery(10, false); }, true},
      {"11% on battery", [](DaemonTestRig& r) { r.setBattery(11, true); }, true},
      {"thermal serious", [](DaemonTestRig& r) { r.thermal.set(2); }, false},
      {"thermal fair", [](DaemonTestRig& r) { r.thermal.set(1); }, true},
      {"nobody at the console", [](DaemonTestRig& r) { r.console.set(0); }, false},
      {"external display does not count here",
       [](DaemonTestRig& r) {
         r.displays.setDisplays({{1, true}, {2, false}});
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DaemonTestRig fresh;
    c.arrange(fresh);
    SleepDaemon subject(fresh.lease, fresh.power, fresh.services);
    EXPECT_EQ(subject.safe(), c.safe);
  }
}

TEST_F(SleepDaemonTest, LidClosedThenReopenedEndsTheSession) {
  beginSession();
  daemon.tick();  // open
  rig.setLidClosed(true);
  daemon.tick();
  daemon.tick();
  EXPECT_TRUE(rig.lease.active());
  EXPECT_TRUE(rig.setting.value());
  rig.setLidClosed(false);
  daemon.tick();
  EXPECT_FALSE(rig.lease.active());
  EXPECT_FALSE(rig.setting.value());
  EXPECT_EQ(rig.journal.record(), std::nullopt);
}

TEST_F(SleepDaemonTest, EndingsOfTheTick) {
  struct Case {
    const char* name;
    std::function<void(DaemonTestRig&)> arrange;
  };
  const Case cases[] = {
      {"lid unreadable",
       [](DaemonTestRig& r) { r.registry.removeProperty("AppleClamshellState"); }},
      {"lease not renewed for 30 s", [](DaemonTestRig& r) { r.clock.advance(30); }},
      {"console user gone", [](DaemonTestRig& r) { r.console.set(0); }},
      {"battery at 10% on battery", [](DaemonTestRig& r) { r.setBattery(10, true); }},
      {"thermal serious", [](DaemonTestRig& r) { r.thermal.set(2); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DaemonTestRig fresh;
    SleepDaemon subject(fresh.lease, fresh.power, fresh.services);
    auto owner =
        ServiceEndpoint::make(DaemonTestRig::kUser, fresh.lease, fresh.power, fresh.services);
    owner->beginSession(0, [](bool ok, auto) { ASSERT_TRUE(ok); });
    fresh.mainQueue.runAll();
    fresh.setLidClosed(true);
    subject.tick();
    ASSERT_TRUE(fresh.lease.active());
    c.arrange(fresh);
    subject.tick();
    EXPECT_FALSE(fresh.lease.active());
    EXPECT_FALSE(fresh.setting.value());
  }
}

TEST_F(SleepDaemonTest, FailedRestorationIsLoggedAndRetriedNextTick) {
  beginSession();
  rig.setting.failNextWrite(std::runtime_error("系统拒绝兼容组件的睡眠设置"));
  rig.registry.removeProperty("AppleClamshellState");
  daemon.tick();
  EXPECT_TRUE(rig.lease.recoveryPending());
  EXPECT_EQ(rig.sink.records().back(),
            (LogRecord{"dravik.sleep-service", "sleep", LogLevel::kError,
                       "Restoration retry pending: 系统拒绝兼容组件的睡眠设置"}));
  daemon.tick();
  EXPECT_FALSE(rig.lease.recoveryPending());
  EXPECT_FALSE(rig.setting.value());
}

TEST_F(SleepDaemonTest, ShutdownRestoresAndExitsZero) {
  beginSession();
  EXPECT_EQ(daemon.shutdown(), 0);
  EXPECT_FALSE(rig.setting.value());
  EXPECT_EQ(rig.journal.record(), std::nullopt);
}

TEST_F(SleepDaemonTest, ShutdownWhoseRestorationFailsKeepsTheJournalAndExitsOne) {
  beginSession();
  rig.setting.failEveryWrite(std::runtime_error("系统睡眠设置超时，请保持开盖并重试"));
  EXPECT_EQ(daemon.shutdown(), 1);
  EXPECT_TRUE(rig.journal.record().has_value());
  EXPECT_EQ(rig.sink.records().back(),
            (LogRecord{"dravik.sleep-service", "sleep", LogLevel::kFault,
                       "Shutdown recovery retained on disk: 系统睡眠设置超时，请保持开盖并重试"}));
}

}  // namespace
}  // namespace quellan
