#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "QuellanSleepService/DaemonTestRig.h"
#include "QuellanSleepService/ServiceEndpoint.h"

namespace quellan {
namespace {

using dravik::platform::LogLevel;
using dravik::platform::LogRecord;

struct Answer {
  std::optional<bool> ok;
  std::optional<std::string> message;
  int calls = 0;
};

class ServiceEndpointTest : public ::testing::Test {
 protected:
  std::shared_ptr<ServiceEndpoint> connect(std::uint32_t uid = DaemonTestRig::kUser) {
    return ServiceEndpoint::make(uid, rig.lease, rig.power, rig.services);
  }

  // Sends the command, checks nothing is answered before the main queue runs, runs it.
  template <class Send>
  Answer command(Send send) {
    Answer answer;
    send([&answer](bool ok, std::optional<std::string> message) {
      answer.ok = ok;
      answer.message = std::move(message);
      ++answer.calls;
    });
    EXPECT_EQ(answer.calls, 0) << "answered before the main queue ran";
    rig.mainQueue.runAll();
    EXPECT_EQ(answer.calls, 1);
    return answer;
  }
  Answer begin(ServiceEndpoint& endpoint, std::int64_t minutes = 0) {
    return command([&](auto reply) { endpoint.beginSession(minutes, reply); });
  }
  Answer renew(ServiceEndpoint& endpoint) {
    return command([&](auto reply) { endpoint.renewSession(reply); });
  }

  DaemonTestRig rig;
};

TEST_F(ServiceEndpointTest, BeginOnSafeMachineDisablesSleepAndLogs) {
  auto endpoint = connect();
  Answer answer = begin(*endpoint, 30);
  EXPECT_EQ(answer.ok, true);
  EXPECT_EQ(answer.message, std::nullopt);
  EXPECT_TRUE(rig.lease.active());
  EXPECT_TRUE(rig.setting.value());
  EXPECT_EQ(rig.sink.records().back(),
            (LogRecord{"dravik.sleep-service", "sleep", LogLevel::kDefault,
                       "Session began; original system sleep setting journaled"}));
}

TEST_F(ServiceEndpointTest, BeginRefusedWithoutTouchingTheLease) {
  struct Case {
    const char* name;
    std::function<void(DaemonTestRig&)> arrange;
    std::uint32_t uid = DaemonTestRig::kUser;
  };
  const Case cases[] = {
      {"lid closed", [](DaemonTestRig& r) { r.setLidClosed(true); }},
      {"lid unreadable",
       [](DaemonTestRig& r) { r.registry.removeProperty("AppleClamshellState"); }},
      {"lid reads a number",
       [](DaemonTestRig& r) { r.registry.setProperty("AppleClamshellState", std::int64_t{0}); }},
      {"root client even with root at the console", [](DaemonTestRig& r) { r.console.set(0); }, 0},
      {"not the console user", [](DaemonTestRig& r) { r.console.set(502); }},
      {"nobody at the console", [](DaemonTestRig& r) { r.console.set(0); }},
      {"10% on battery", [](DaemonTestRig& r) { r.setBattery(10, true); }},
      {"battery unreadable", [](DaemonTestRig& r) { r.sources.setInfo(std::nullopt); }},
      {"thermal serious", [](DaemonTestRig& r) { r.thermal.set(2); }},
      {"thermal critical", [](DaemonTestRig& r) { r.thermal.set(3); }},
      {"one external display",
       [](DaemonTestRig& r) {
         r.displays.setDisplays({{1, true}, {2, false}});
       }},
      {"displays uncountable", [](DaemonTestRig& r) { r.displays.setCountCallResult(1001); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DaemonTestRig fresh;
    c.arrange(fresh);
    auto endpoint = ServiceEndpoint::make(c.uid, fresh.lease, fresh.power, fresh.services);
    bool answered = false;
    endpoint->beginSession(0, [&](bool ok, std::optional<std::string> message) {
      answered = true;
      EXPECT_FALSE(ok);
      EXPECT_EQ(message, "请保持开盖，确认电量、温度和显示器状态后重试");
    });
    fresh.mainQueue.runAll();
    EXPECT_TRUE(answered);
    EXPECT_FALSE(fresh.lease.active());
    EXPECT_TRUE(fresh.setting.calls().empty());
    EXPECT_TRUE(fresh.journal.calls().empty());
    EXPECT_EQ(fresh.sink.records().back(),
              (LogRecord{"dravik.sleep-service", "sleep", LogLevel::kError,
                         "Service operation: 请保持开盖，确认电量、温度和显示器状态后重试"}));
  }
}

TEST_F(ServiceEndpointTest, SafeBoundaries) {
  struct Case {
    const char* name;
    std::function<void(DaemonTestRig&)> arrange;
    bool safe;
  };
  const Case cases[] = {
      {"10% on external power", [](DaemonTestRig& r) { r.setBattery(10, false); }, true},
      {"11% on battery", [](DaemonTestRig& r) { r.setBattery(11, true); }, true},
      {"10% on battery", [](DaemonTestRig& r) { r.setBattery(10, true); }, false},
      {"thermal fair", [](DaemonTestRig& r) { r.thermal.set(1); }, true},
      {"thermal serious", [](DaemonTestRig& r) { r.thermal.set(2); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DaemonTestRig fresh;
    c.arrange(fresh);
    auto endpoint =
        ServiceEndpoint::make(DaemonTestRig::kUser, fresh.lease, fresh.power, fresh.services);
    EXPECT_EQ(endpoint->safe(), c.safe);
  }
}

TEST_F(ServiceEndpointTest, LeaseFailuresArriveUnchanged) {
  auto endpoint = connect();
  rig.setting.setValue(true);  // someone else already disabled sleep
  Answer answer = begin(*endpoint);
  EXPECT_EQ(answer.ok, false);
  EXPECT_EQ(answer.message, "其他程序正在接管睡眠，请先关闭它的防睡眠功能");
}

TEST_F(ServiceEndpointTest, SecondConnectionCannotBeginOrDisturbTheFirst) {
  auto first = connect();
  auto second = connect();
  EXPECT_FALSE(first->id() == second->id());
  ASSERT_EQ(begin(*first).ok, true);

  Answer refused = begin(*second);
  EXPECT_EQ(refused.message, "另一个Quellan会话正在运行");
  Answer renewed = renew(*second);
  EXPECT_EQ(renewed.message, "兼容组件会话已结束，请重新开启");
  Answer ended = command([&](auto reply) { second->endSession(reply); });
  EXPECT_EQ(ended.ok, true);
  second->disconnected();
  rig.mainQueue.runAll();
  EXPECT_TRUE(rig.lease.active());
  EXPECT_TRUE(rig.setting.value());
}

TEST_F(ServiceEndpointTest, RenewExtendsTheLease) {
  auto endpoint = connect();
  ASSERT_EQ(begin(*endpoint).ok, true);
  rig.clock.advance(25);
  rig.setLidClosed(true);  // renewing with the lid closed is the normal case
  EXPECT_EQ(renew(*endpoint).ok, true);
  rig.clock.advance(25);  // 50 s after begin, 25 s after the renewal
  EXPECT_EQ(renew(*endpoint).ok, true);
  EXPECT_TRUE(rig.lease.active());
}

TEST_F(ServiceEndpointTest, RenewOnUnsafeMachineEndsTheSession) {
  auto endpoint = connect();
  ASSERT_EQ(begin(*endpoint).ok, true);
  rig.setBattery(10, true);
  Answer answer = renew(*endpoint);
  EXPECT_EQ(answer.ok, false);
  EXPECT_EQ(answer.message, "电量、温度或用户状态改变，本次已结束");
  EXPECT_FALSE(rig.lease.active());
  EXPECT_FALSE(rig.setting.value());
  EXPECT_EQ(rig.journal.record(), std::nullopt);
}

TEST_F(ServiceEndpointTest, RenewAfterConsoleUserChangedEndsTheSession) {
  auto endpoint = connect();
  ASSERT_EQ(begin(*endpoint).ok, true);
  rig.console.set(502);
  EXPECT_EQ(renew(*endpoint).message, "电量、温度或用户状态改变，本次已结束");
  EXPECT_FALSE(rig.setting.value());
}

TEST_F(ServiceEndpointTest, StatusAnswersWhateverTheReadings) {
  auto endpoint = connect(0);
  rig.console.set(0);
  rig.sources.setInfo(std::nullopt);
  int calls = 0;
  endpoint->status([&](std::int64_t version, bool active, bool pending) {
    ++calls;
    EXPECT_EQ(version, 1);
    EXPECT_FALSE(active);
    EXPECT_FALSE(pending);
  });
  EXPECT_EQ(calls, 0);
  rig.mainQueue.runAll();
  EXPECT_EQ(calls, 1);
}

TEST_F(ServiceEndpointTest, StatusReportsPendingRecovery) {
  rig.journal.setRecord(SleepJournal(false));
  rig.setting.ignoreWrites();
  rig.setting.setValue(true);
  EXPECT_ANY_THROW(rig.lease.recover());
  auto endpoint = connect();
  endpoint->status([](std::int64_t, bool active, bool pending) {
    EXPECT_FALSE(active);
    EXPECT_TRUE(pending);
  });
  rig.mainQueue.runAll();
}

TEST_F(ServiceEndpointTest, DisconnectOfTheOwnerEndsItsSession) {
  auto endpoint = connect();
  ASSERT_EQ(begin(*endpoint).ok, true);
  endpoint->disconnected();
  EXPECT_TRUE(rig.lease.active()) << "ended before the main queue ran";
  rig.mainQueue.runAll();
  EXPECT_FALSE(rig.lease.active());
  EXPECT_FALSE(rig.setting.value());
}

TEST_F(ServiceEndpointTest, DisconnectWhoseRestorationFailsIsLogged) {
  auto endpoint = connect();
  ASSERT_EQ(begin(*endpoint).ok, true);
  rig.setting.failEveryWrite(std::runtime_error("无法写入"));
  endpoint->disconnected();
  rig.mainQueue.runAll();
  EXPECT_TRUE(rig.lease.recoveryPending());
  EXPECT_EQ(rig.sink.records().back(), (LogRecord{"dravik.sleep-service", "sleep", LogLevel::kError,
                                                  "Disconnect recovery pending: 无法写入"}));
}

TEST_F(ServiceEndpointTest, PrepareForRemovalEndsAnySessionAndRefusesLaterBegins) {
  auto owner = connect();
  auto app = connect();
  ASSERT_EQ(begin(*owner).ok, true);
  EXPECT_EQ(command([&](auto reply) { app->prepareForRemoval(reply); }).ok, true);
  EXPECT_FALSE(rig.lease.active());
  EXPECT_FALSE(rig.setting.value());
  EXPECT_EQ(begin(*owner).message, "兼容组件正在移除，请重新安装后再试");
}

TEST_F(ServiceEndpointTest, WorkRunsInSubmissionOrderAndKeepsTheEndpointAlive) {
  auto endpoint = connect();
  std::vector<std::string> order;
  endpoint->beginSession(0, [&](bool ok, auto) { order.push_back(ok ? "begin" : "begin failed"); });
  endpoint->status([&](std::int64_t, bool active, bool) {
    order.push_back(active ? "status active" : "status idle");
  });
  endpoint->endSession([&](bool ok, auto) { order.push_back(ok ? "end" : "end failed"); });
  endpoint.reset();  // the connection let go; the queued work still runs
  rig.mainQueue.runAll();
  EXPECT_EQ(order, (std::vector<std::string>{"begin", "status active", "end"}));
  EXPECT_FALSE(rig.setting.value());
}

}  // namespace
}  // namespace quellan
