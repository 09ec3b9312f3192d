#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "DravikCore/OpenLidSession.h"

namespace dravik {
namespace {

// An in-memory hold that records every call and can be told to fail.
class FakeIdleAssertion : public TimedIdleAssertion {
 public:
  bool held() const override { return held_; }
  void renew() override {
    calls.push_back("renew");
    if (failRenew) throw std::runtime_error("开盖防休眠请求失败：0xe00002c1");
    held_ = true;
  }
  void release() override {
    calls.push_back("release");
    if (failRelease) throw std::runtime_error("开盖防休眠恢复失败：0xe00002c2");
    held_ = false;
  }

  bool failRenew = false;
  bool failRelease = false;
  std::vector<std::string> calls;

 private:
  bool held_ = false;
};

class OpenLidSessionTest : public ::testing::Test {
 protected:
  OpenLidSessionTest() {
    auto owned = std::make_unique<FakeIdleAssertion>();
    fake = owned.get();
    session = std::make_unique<OpenLidSession>(std::move(owned));
  }

  // Switches the mode on at `now` with the lid open and forgets the calls so far.
  void startRunning(double now) {
    session->setEnabled(true, now, false, false);
    ASSERT_TRUE(session->active());
    fake->calls.clear();
  }

  // The text of the error a call throws; empty when it throws none.
  template <typename Call>
  static std::string errorOf(Call call) {
    try {
      call();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }

  using Calls = std::vector<std::string>;
  FakeIdleAssertion* fake = nullptr;
  std::unique_ptr<OpenLidSession> session;
};

TEST_F(OpenLidSessionTest, Constants) {
  EXPECT_EQ(OpenLidSession::leaseSeconds, 30.0);
  EXPECT_EQ(OpenLidSession::renewalSeconds, 5.0);
}

TEST_F(OpenLidSessionTest, FreshSessionIsOff) {
  EXPECT_FALSE(session->requested());
  EXPECT_FALSE(session->active());
  EXPECT_TRUE(fake->calls.empty());
}

TEST_F(OpenLidSessionTest, EnablingWithTheLidOpenRenewsAtOnce) {
  session->setEnabled(true, 100, false, false);
  EXPECT_TRUE(session->requested());
  EXPECT_TRUE(session->active());
  EXPECT_EQ(fake->calls, Calls{"renew"});
  // The renewal was recorded at 100: the next one falls due at 105.
  session->tick(104.9, false, false);
  EXPECT_EQ(fake->calls, Calls{"renew"});
  session->tick(105, false, false);
  EXPECT_EQ(fake->calls, (Calls{"renew", "renew"}));
}

TEST_F(OpenLidSessionTest, RenewsEveryFiveSecondsWithTicksEverySecond) {
  startRunning(100);
  std::vector<int> renewedAt;
  for (int now = 101; now <= 116; ++now) {
    fake->calls.clear();
    session->tick(now, false, false);
    if (fake->calls == Calls{"renew"}) renewedAt.push_back(now);
    EXPECT_TRUE(fake->calls.empty() || fake->calls == Calls{"renew"}) << now;
  }
  EXPECT_EQ(renewedAt, (std::vector<int>{105, 110, 115}));
}

TEST_F(OpenLidSessionTest, Watchdog) {
  struct Case {
    double now;
    bool timedOut;
  };
  // Renewed at 100; one tick at `now`.
  const Case cases[] = {
      {129.9, false}, {130, true}, {1e9, true}, {99.999, true}, {-1e9, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.now);
    startRunning(100);
    const std::string error = errorOf([&] { session->tick(c.now, false, false); });
    if (c.timedOut) {
      EXPECT_EQ(error, "开盖不休眠连接超时，请重新开启");
      EXPECT_EQ(fake->calls, Calls{"release"});
      EXPECT_FALSE(session->requested());
      EXPECT_FALSE(session->active());
    } else {
      EXPECT_EQ(error, "");
      EXPECT_EQ(fake->calls, Calls{"renew"});
      EXPECT_TRUE(session->requested());
      EXPECT_TRUE(session->active());
    }
    session->disable();
  }
}

TEST_F(OpenLidSessionTest, TimeOutIsAnOpenLidError) {
  startRunning(100);
  try {
    session->tick(130, false, false);
    FAIL() << "no error";
  } catch (const OpenLidError& e) {
    EXPECT_EQ(e.errorDescription(), "开盖不休眠连接超时，请重新开启");
  }
  // Off now: later ticks release and raise nothing, whatever the time.
  fake->calls.clear();
  session->tick(500, false, false);
  EXPECT_EQ(fake->calls, Calls{"release"});
}

TEST_F(OpenLidSessionTest, PauseAndResume) {
  struct Case {
    std::optional<bool> lidClosed;
    bool systemSleeping;
  };
  const Case pauses[] = {{true, false}, {false, true}, {true, true}};
  for (const Case& c : pauses) {
    startRunning(100);
    session->tick(101, c.lidClosed, c.systemSleeping);
    EXPECT_EQ(fake->calls, Calls{"release"});
    EXPECT_TRUE(session->requested());
    EXPECT_FALSE(session->active());
    session->tick(102, c.lidClosed, c.systemSleeping);  // still paused: release again, harmless
    fake->calls.clear();
    // Reopened long after the last renewal: renews at once, no time-out.
    EXPECT_EQ(errorOf([&] { session->tick(10000, false, false); }), "");
    EXPECT_EQ(fake->calls, Calls{"renew"});
    EXPECT_TRUE(session->active());
    session->disable();
  }
}

TEST_F(OpenLidSessionTest, EnablingWithTheLidClosedIsOnAndPaused) {
  session->setEnabled(true, 100, true, false);
  EXPECT_TRUE(session->requested());
  EXPECT_FALSE(session->active());
  EXPECT_EQ(fake->calls, Calls{"release"});
}

TEST_F(OpenLidSessionTest, UnreadableWhileOnSwitchesOff) {
  const std::pair<double, std::optional<bool>> cases[] = {
      {200, std::nullopt},
      {std::numeric_limits<double>::infinity(), false},
      {-std::numeric_limits<double>::infinity(), false},
      {std::nan(""), false},
      {std::nan(""), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    startRunning(190);
    const std::string error = errorOf([&] { session->tick(c.first, c.second, false); });
    EXPECT_EQ(error, "无法读取合盖状态，开盖不休眠已关闭");
    EXPECT_EQ(fake->calls, Calls{"release"});
    EXPECT_FALSE(session->requested());
    EXPECT_FALSE(session->active());
  }
}

TEST_F(OpenLidSessionTest, EnablingWithAnUnreadableLid) {
  EXPECT_THROW(session->setEnabled(true, 100, std::nullopt, false), OpenLidError);
  EXPECT_FALSE(session->requested());
  EXPECT_FALSE(session->active());
}

TEST_F(OpenLidSessionTest, UnreadableWhileOffRaisesNothing) {
  EXPECT_EQ(errorOf([&] { session->tick(std::nan(""), std::nullopt, true); }), "");
  EXPECT_EQ(fake->calls, Calls{"release"});
}

TEST_F(OpenLidSessionTest, RenewsWhenNothingIsHeldEvenBeforeItIsDue) {
  startRunning(100);
  // The hold went away without the session giving it back.
  fake->release();
  fake->calls.clear();
  session->tick(101, false, false);
  EXPECT_EQ(fake->calls, Calls{"renew"});
  EXPECT_TRUE(session->active());
}

TEST_F(OpenLidSessionTest, RenewFailureSwitchesOffAndRaisesTheRenewError) {
  fake->failRenew = true;
  fake->failRelease = true;  // dropped: the renewal's error is the one raised
  EXPECT_EQ(errorOf([&] { session->setEnabled(true, 100, false, false); }),
            "开盖防休眠请求失败：0xe00002c1");
  EXPECT_EQ(fake->calls, (Calls{"renew", "release"}));
  EXPECT_FALSE(session->requested());
}

TEST_F(OpenLidSessionTest, RenewFailureWhileRunning) {
  startRunning(100);
  fake->failRenew = true;
  EXPECT_EQ(errorOf([&] { session->tick(105, false, false); }), "开盖防休眠请求失败：0xe00002c1");
  EXPECT_EQ(fake->calls, (Calls{"renew", "release"}));
  EXPECT_FALSE(session->requested());
  EXPECT_FALSE(session->active());
  // Off, so the next tick does not renew or time out.
  fake->failRenew = false;
  fake->calls.clear();
  session->tick(106, false, false);
  EXPECT_EQ(fake->calls, Calls{"release"});
}

TEST_F(OpenLidSessionTest, ReleaseFailures) {
  // Where a release fails, its error is raised; `requested` is as the step left it and the
  // last renewal is forgotten, so the next tick with the lid open renews at once.
  struct Case {
    const char* name;
    std::function<void(OpenLidSession&)> call;
    bool requestedAfter;
  };
  const Case cases[] = {
      {"not requested", [](OpenLidSession& s) { s.setEnabled(false, 101, false, false); }, false},
      {"paused", [](OpenLidSession& s) { s.tick(101, true, false); }, true},
      {"disable", [](OpenLidSession& s) { s.disable(); }, false},
      {"unreadable", [](OpenLidSession& s) { s.tick(101, std::nullopt, false); }, false},
      {"time-out", [](OpenLidSession& s) { s.tick(131, false, false); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startRunning(100);
    fake->failRelease = true;
    EXPECT_EQ(errorOf([&] { c.call(*session); }), "开盖防休眠恢复失败：0xe00002c2");
    EXPECT_EQ(fake->calls, Calls{"release"});
    EXPECT_EQ(session->requested(), c.requestedAfter);
    fake->failRelease = false;
    fake->calls.clear();
    session->setEnabled(true, 1000, false, false);
    EXPECT_EQ(fake->calls, Calls{"renew"});  // no time-out from the forgotten renewal
    session->disable();
  }
}

TEST_F(OpenLidSessionTest, Disable) {
  startRunning(100);
  session->disable();
  EXPECT_FALSE(session->requested());
  EXPECT_FALSE(session->active());
  EXPECT_EQ(fake->calls, Calls{"release"});
  session->disable();  // harmless when nothing is held
  EXPECT_EQ(fake->calls, (Calls{"release", "release"}));
}

TEST_F(OpenLidSessionTest, OpenLidErrorCarriesItsText) {
  const OpenLidError error("无法读取合盖状态，开盖不休眠已关闭");
  EXPECT_STREQ(error.what(), "无法读取合盖状态，开盖不休眠已关闭");
  EXPECT_EQ(error.errorDescription(), "无法读取合盖状态，开盖不休眠已关闭");
}

}  // namespace
}  // namespace dravik
