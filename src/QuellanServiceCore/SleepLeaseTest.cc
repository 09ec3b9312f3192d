#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "QuellanServiceCore/Fakes/FakeJournalStore.h"
#include "QuellanServiceCore/Fakes/FakeSleepSetting.h"
#include "QuellanServiceCore/SleepLease.h"

namespace quellan {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const char* const kRemoving = "兼容组件正在移除，请重新安装后再试";
const char* const kOpenTheLid = "请先打开电脑盖子";
const char* const kAnotherSession = "另一个Quellan会话正在运行";
const char* const kSleepTakenOver = "其他程序正在接管睡眠，请先关闭它的防睡眠功能";
const char* const kNotConfirmed = "兼容组件未能确认睡眠设置，请稍后重试";
const char* const kSessionEnded = "兼容组件会话已结束，请重新开启";
const char* const kSettingChanged = "睡眠设置被其他程序更改，本次已结束";
const char* const kSchemaMismatch = "兼容组件恢复记录版本不匹配，请联系支持";
const char* const kRestoreUnconfirmed = "恢复尚未确认，正在重试；请保持开盖";

// The message of the ServiceFailure `action` throws; "" when it does not throw one.
std::string failureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const ServiceFailure& failure) {
    return failure.what();
  }
  return "";
}

class SleepLeaseTest : public ::testing::Test {
 protected:
  SleepLeaseTest() {
    setting.alsoRecordInto(&log);
    journal.alsoRecordInto(&log);
  }

  // Begins a session for `alice` and forgets the calls that took.
  void beginSession(std::int64_t minutes = 0, double now = 0) {
    lease.begin(alice, minutes, now, false);
    ASSERT_TRUE(lease.active());
    log.clear();
  }

  // Renews every 20 seconds from `from` while the next renewal stays before `until`.
  void renewUntil(double from, double until) {
    for (double t = from; t < until; t += 20) lease.renew(alice, t);
  }

  // Expects the state of a session that ended with a completed restoration.
  void expectRestored() {
    EXPECT_FALSE(lease.active());
    EXPECT_FALSE(lease.recoveryPending());
    EXPECT_FALSE(setting.value());
    EXPECT_EQ(journal.record(), std::nullopt);
  }

  std::vector<std::string> log;
  FakeSleepSetting setting;
  FakeJournalStore journal;
  SleepLease lease{setting, journal};
  const Uuid alice = Uuid::random();
  const Uuid bob = Uuid::random();
};

const std::vector<std::string> kBeginCalls = {"load", "read", "save(1,false)", "write(true)",
                                              "read"};
const std::vector<std::string> kRestoreCalls = {"load", "write(false)", "read", "clear"};

TEST_F(SleepLeaseTest, StartsIdleWithoutTouchingAnything) {
  EXPECT_FALSE(lease.active());
  EXPECT_FALSE(lease.recoveryPending());
  EXPECT_THAT(log, IsEmpty());
}

TEST_F(SleepLeaseTest, RecoverWithoutJournalOnlyLoads) {
  lease.recover();
  EXPECT_THAT(log, ElementsAre("load"));
  EXPECT_FALSE(lease.recoveryPending());
}

TEST_F(SleepLeaseTest, RecoverWritesTheJournalledValueBackConfirmsAndClears) {
  for (bool original : {false, true}) {
    SCOPED_TRACE(original);
    log.clear();
    setting.setValue(!original);
    journal.setRecord(SleepJournal(original));
    lease.recover();
    EXPECT_THAT(log,
                ElementsAre("load", original ? "write(true)" : "write(false)", "read", "clear"));
    EXPECT_EQ(setting.value(), original);
    EXPECT_EQ(journal.record(), std::nullopt);
    EXPECT_FALSE(lease.recoveryPending());
  }
}

TEST_F(SleepLeaseTest, BeginJournalsBeforeDisablingAndConfirms) {
  lease.begin(alice, 30, 5, false);
  EXPECT_EQ(log, kBeginCalls);
  EXPECT_TRUE(lease.active());
  EXPECT_FALSE(lease.recoveryPending());
  EXPECT_TRUE(setting.value());
  EXPECT_EQ(journal.record(), SleepJournal(1, false));
}

TEST_F(SleepLeaseTest, BeginRefusesBadArgumentsWithTheLidMessage) {
  struct Case {
    std::int64_t minutes;
    double now;
    bool lidClosed;
  };
  const Case cases[] = {{45, 0, false},    {-30, 0, false},  {1000, 0, false},
                        {1, 0, false},     {0, kInf, false}, {0, -kInf, false},
                        {30, kNaN, false}, {0, 0, true},     {480, 0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.minutes << " " << c.now << " " << c.lidClosed);
    EXPECT_EQ(failureOf([&] { lease.begin(alice, c.minutes, c.now, c.lidClosed); }), kOpenTheLid);
  }
  EXPECT_THAT(log, IsEmpty());
  EXPECT_FALSE(lease.active());
}

TEST_F(SleepLeaseTest, BeginChecksComeInOrder) {
  beginSession();
  // A running session with bad arguments: the argument check comes first.
  EXPECT_EQ(failureOf([&] { lease.begin(bob, 45, 1, false); }), kOpenTheLid);
  EXPECT_EQ(failureOf([&] { lease.begin(bob, 30, 1, false); }), kAnotherSession);
  EXPECT_EQ(failureOf([&] { lease.begin(alice, 30, 1, false); }), kAnotherSession);
  EXPECT_THAT(log, IsEmpty());
  EXPECT_TRUE(lease.active());

  lease.pauseAndRestore();
  log.clear();
  // Paused comes before everything else.
  EXPECT_EQ(failureOf([&] { lease.begin(bob, 45, kNaN, true); }), kRemoving);
  EXPECT_THAT(log, IsEmpty());
}

TEST_F(SleepLeaseTest, BeginSetsTheDeadlineFromTheMinutes) {
  for (std::int64_t minutes : {30, 60, 120, 240, 480}) {
    SCOPED_TRACE(minutes);
    const double start = 1000;
    const double deadline = start + static_cast<double>(minutes) * 60;
    lease.begin(alice, minutes, start, false);
    renewUntil(start + 20, deadline - 10);
    lease.tick(deadline - 0.001, false, true);
    EXPECT_TRUE(lease.active());
    lease.tick(deadline, false, true);
    EXPECT_FALSE(lease.active());
    expectRestored();
  }
}

TEST_F(SleepLeaseTest, BeginWithZeroMinutesHasNoDeadline) {
  beginSession(0, 0);
  renewUntil(20, 480 * 60 * 4);
  lease.tick(480 * 60 * 4, false, true);
  EXPECT_TRUE(lease.active());
}

TEST_F(SleepLeaseTest, BeginRefusesWhenSleepIsAlreadyDisabled) {
  setting.setValue(true);
  EXPECT_EQ(failureOf([&] { lease.begin(alice, 0, 0, false); }), kSleepTakenOver);
  EXPECT_THAT(log, ElementsAre("load", "read"));
  EXPECT_FALSE(lease.active());
  EXPECT_FALSE(lease.recoveryPending());
  EXPECT_EQ(journal.record(), std::nullopt);
  EXPECT_TRUE(setting.value());
}

TEST_F(SleepLeaseTest, BeginSettlesAnEarlierJournalFirst) {
  setting.setValue(true);
  journal.setRecord(SleepJournal(false));
  lease.begin(alice, 0, 0, false);
  EXPECT_THAT(log, ElementsAre("load", "write(false)", "read", "clear", "read", "save(1,false)",
                               "write(true)", "read"));
  EXPECT_TRUE(lease.active());
}

TEST_F(SleepLeaseTest, BeginFailsWithTheEarlierJournalsRestorationError) {
  setting.setValue(true);
  setting.ignoreWrites();
  journal.setRecord(SleepJournal(false));
  EXPECT_EQ(failureOf([&] { lease.begin(alice, 0, 0, false); }), kRestoreUnconfirmed);
  EXPECT_THAT(log, ElementsAre("load", "write(false)", "read"));
  EXPECT_FALSE(lease.active());
  EXPECT_TRUE(lease.recoveryPending());
  EXPECT_EQ(journal.record(), SleepJournal(false));
}

TEST_F(SleepLeaseTest, BeginUnconfirmedRestoresAndReportsIt) {
  setting.misreportReads(false);  // the write lands but never reads back
  EXPECT_EQ(failureOf([&] { lease.begin(alice, 0, 0, false); }), kNotConfirmed);
  EXPECT_THAT(log, ElementsAre("load", "read", "save(1,false)", "write(true)", "read", "load",
                               "write(false)", "read", "clear"));
  EXPECT_FALSE(lease.active());
  expectRestored();
}

TEST_F(SleepLeaseTest, BeginWriteErrorPassesThroughAfterRestoring) {
  setting.failNextWrite(std::system_error(EPERM, std::generic_category()));
  try {
    lease.begin(alice, 0, 0, false);
    FAIL() << "begin succeeded";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EPERM);
  }
  EXPECT_THAT(log, ElementsAre("load", "read", "save(1,false)", "write(true)", "load",
                               "write(false)", "read", "clear"));
  expectRestored();
}

TEST_F(SleepLeaseTest, BeginConfirmationReadErrorPassesThroughAfterRestoring) {
  // Fails only the read that confirms the write.
  class FailingConfirmation : public FakeSleepSetting {
   public:
    bool read() override {
      if (value()) throw std::runtime_error("tool timed out");
      return FakeSleepSetting::read();
    }
  } failing;
  FakeJournalStore store;
  SleepLease local(failing, store);
  EXPECT_THROW(local.begin(alice, 0, 0, false), std::runtime_error);
  EXPECT_FALSE(local.active());
  EXPECT_THAT(failing.calls(), ElementsAre("read", "write(true)", "write(false)", "read"));
  EXPECT_THAT(store.calls(), ElementsAre("load", "save(1,false)", "load", "clear"));
  EXPECT_FALSE(local.recoveryPending());
}

TEST_F(SleepLeaseTest, BeginKeepsItsOwnErrorWhenTheCleanupFailsToo) {
  setting.ignoreWrites();
  journal.failEveryClear(std::runtime_error("disk gone"));
  EXPECT_EQ(failureOf([&] { lease.begin(alice, 0, 0, false); }), kNotConfirmed);
  EXPECT_FALSE(lease.active());
  EXPECT_TRUE(lease.recoveryPending());
  EXPECT_EQ(journal.record(), SleepJournal(false));
}

TEST_F(SleepLeaseTest, BeginSaveErrorLeavesTheSettingAlone) {
  journal.failNextSave(std::system_error(ENOSPC, std::generic_category()));
  try {
    lease.begin(alice, 0, 0, false);
    FAIL() << "begin succeeded";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOSPC);
  }
  EXPECT_THAT(log, ElementsAre("load", "read", "save(1,false)"));
  EXPECT_FALSE(lease.active());
  EXPECT_FALSE(lease.recoveryPending());
  EXPECT_FALSE(setting.value());
}

TEST_F(SleepLeaseTest, AcceptedRenewReadsAndMovesTheExpiry) {
  beginSession(0, 90);
  lease.renew(alice, 100);
  EXPECT_THAT(log, ElementsAre("read"));
  lease.tick(129.999, false, true);
  EXPECT_TRUE(lease.active());
  lease.tick(130, false, true);
  EXPECT_FALSE(lease.active());
}

TEST_F(SleepLeaseTest, RenewAtTheExpiryOrTheDeadlineEndsTheSession) {
  beginSession(0, 0);
  EXPECT_EQ(failureOf([&] { lease.renew(alice, 30); }), kSessionEnded);
  EXPECT_EQ(log, kRestoreCalls);
  expectRestored();

  beginSession(30, 0);
  renewUntil(20, 1800 - 10);
  log.clear();
  EXPECT_EQ(failureOf([&] { lease.renew(alice, 1800); }), kSessionEnded);
  EXPECT_EQ(log, kRestoreCalls);
  expectRestored();

  beginSession(0, 0);
  EXPECT_EQ(failureOf([&] { lease.renew(alice, kNaN); }), kSessionEnded);
  expectRestored();
}

TEST_F(SleepLeaseTest, RenewByAnotherOwnerOrWithoutSessionChangesNothing) {
  beginSession(0, 0);
  EXPECT_EQ(failureOf([&] { lease.renew(bob, 10); }), kSessionEnded);
  EXPECT_THAT(log, IsEmpty());
  EXPECT_TRUE(lease.active());
  lease.renew(alice, 20);

  lease.end(alice);
  journal.setRecord(SleepJournal(false));  // a renew never settles a journal
  log.clear();
  EXPECT_EQ(failureOf([&] { lease.renew(alice, 25); }), kSessionEnded);
  EXPECT_THAT(log, IsEmpty());
}

TEST_F(SleepLeaseTest, RenewThatFindsSleepEnabledEndsAndRestores) {
  beginSession();
  setting.setValue(false);  // another program turned sleep back on
  EXPECT_EQ(failureOf([&] { lease.renew(alice, 10); }), kSettingChanged);
  EXPECT_THAT(log, ElementsAre("read", "load", "write(false)", "read", "clear"));
  expectRestored();
}

TEST_F(SleepLeaseTest, RenewReportsTheRestorationErrorInsteadOfItsOwn) {
  beginSession();
  setting.setValue(false);
  journal.failNextLoad(std::runtime_error("load failed"));
  EXPECT_THROW(lease.renew(alice, 10), std::runtime_error);
  EXPECT_FALSE(lease.active());
  EXPECT_TRUE(lease.recoveryPending());

  lease.recover();
  beginSession();
  setting.failEveryWrite(std::runtime_error("write failed"));
  EXPECT_THROW(lease.renew(alice, 40), std::runtime_error);
  EXPECT_FALSE(lease.active());
  EXPECT_TRUE(lease.recoveryPending());
}

TEST_F(SleepLeaseTest, RenewReadErrorKeepsTheSessionAsItWas) {
  beginSession(0, 0);
  setting.failNextRead(std::runtime_error("tool failed"));
  EXPECT_THROW(lease.renew(alice, 10), std::runtime_error);
  EXPECT_TRUE(lease.active());
  EXPECT_THAT(log, ElementsAre("read"));
  // Not extended: the lease still lapses at 30.
  lease.tick(30, false, true);
  EXPECT_FALSE(lease.active());
}

TEST_F(SleepLeaseTest, EndByTheOwnerRestores) {
  beginSession();
  lease.end(alice);
  EXPECT_EQ(log, kRestoreCalls);
  expectRestored();
}

TEST_F(SleepLeaseTest, EndByAnotherOwnerDoesNothing) {
  beginSession();
  lease.end(bob);
  EXPECT_THAT(log, IsEmpty());
  EXPECT_TRUE(lease.active());
}

TEST_F(SleepLeaseTest, EndWithoutSessionSettlesARecovery) {
  lease.end(bob);
  EXPECT_THAT(log, ElementsAre("load"));

  setting.setValue(true);
  journal.setRecord(SleepJournal(false));
  log.clear();
  lease.end(bob);
  EXPECT_EQ(log, kRestoreCalls);
  expectRestored();
}

TEST_F(SleepLeaseTest, TickEndsOnTheFirstOpenAfterAClose) {
  beginSession();
  const bool lid[] = {false, false, true, true, false};
  for (int i = 0; i < 4; ++i) {
    lease.tick(i + 1, lid[i], true);
    EXPECT_TRUE(lease.active()) << "tick " << i + 1;
  }
  EXPECT_THAT(log, IsEmpty());  // ticks that keep a session read nothing
  lease.tick(5, lid[4], true);
  EXPECT_EQ(log, kRestoreCalls);
  expectRestored();
}

TEST_F(SleepLeaseTest, TickNeverSeesACloseBetweenTwoTicks) {
  beginSession();
  lease.tick(1, false, true);
  lease.tick(2, false, true);
  EXPECT_TRUE(lease.active());
}

TEST_F(SleepLeaseTest, TickEndsOnAnyReasonToStop) {
  struct Case {
    const char* name;
    double now;
    std::optional<bool> lidClosed;
    bool safe;
  };
  const Case cases[] = {
      {"lid unreadable", 1, std::nullopt, true}, {"unsafe", 1, true, false},
      {"now not a number", kNaN, true, true},    {"now infinite", kInf, true, true},
      {"lease lapsed", 30, true, true},          {"deadline reached", 29.5, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A deadline only matters for the last case: begin at -1770 so that it falls at 30 - 0.5.
    if (std::string(c.name) == "deadline reached") {
      lease.begin(alice, 30, -1770.5, false);
      renewUntil(-1760, 20);  // last renewal at 0: expiry 30
    } else {
      lease.begin(alice, 0, 0, false);
    }
    log.clear();
    lease.tick(c.now, c.lidClosed, c.safe);
    EXPECT_EQ(log, kRestoreCalls);
    expectRestored();
  }
}

TEST_F(SleepLeaseTest, TickWithoutSessionRestores) {
  lease.tick(1, false, true);
  EXPECT_THAT(log, ElementsAre("load"));
}

TEST_F(SleepLeaseTest, UnconfirmedRestorationIsRetriedOnTheNextTick) {
  beginSession();
  setting.ignoreWrites();
  EXPECT_EQ(failureOf([&] { lease.end(alice); }), kRestoreUnconfirmed);
  EXPECT_FALSE(lease.active());
  EXPECT_TRUE(lease.recoveryPending());
  EXPECT_EQ(journal.record(), SleepJournal(false));

  EXPECT_EQ(failureOf([&] { lease.tick(1, std::nullopt, false); }), kRestoreUnconfirmed);
  EXPECT_TRUE(lease.recoveryPending());

  setting.ignoreWrites(false);
  lease.tick(2, std::nullopt, false);
  expectRestored();
}

TEST_F(SleepLeaseTest, RestorationFailuresKeepTheJournalAndOweARecovery) {
  struct Case {
    const char* name;
    std::function<void(FakeSleepSetting&, FakeJournalStore&)> breakIt;
  };
  const Case cases[] = {
      {"load", [](auto&, auto& j) { j.failNextLoad(std::runtime_error("x")); }},
      {"write", [](auto& s, auto&) { s.failNextWrite(std::runtime_error("x")); }},
      {"read", [](auto& s, auto&) { s.failNextRead(std::runtime_error("x")); }},
      {"clear", [](auto&, auto& j) { j.failNextClear(std::runtime_error("x")); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    beginSession();
    c.breakIt(setting, journal);
    EXPECT_THROW(lease.end(alice), std::runtime_error);
    EXPECT_FALSE(lease.active());
    EXPECT_TRUE(lease.recoveryPending());
    EXPECT_EQ(journal.record(), SleepJournal(false));
    lease.recover();
    expectRestored();
  }
}

TEST_F(SleepLeaseTest, UnknownJournalVersionIsNeverUsedNorDeleted) {
  journal.setRecord(SleepJournal(2, false));
  setting.setValue(true);
  EXPECT_EQ(failureOf([&] { lease.recover(); }), kSchemaMismatch);
  EXPECT_TRUE(lease.recoveryPending());
  EXPECT_EQ(failureOf([&] { lease.tick(1, false, true); }), kSchemaMismatch);
  EXPECT_EQ(failureOf([&] { lease.end(alice); }), kSchemaMismatch);
  EXPECT_EQ(failureOf([&] { lease.begin(alice, 0, 1, false); }), kSchemaMismatch);
  EXPECT_EQ(failureOf([&] { lease.pauseAndRestore(); }), kSchemaMismatch);
  EXPECT_TRUE(lease.recoveryPending());
  EXPECT_FALSE(lease.active());
  EXPECT_EQ(journal.record(), SleepJournal(2, false));
  EXPECT_TRUE(setting.value());
  for (const std::string& call : log) EXPECT_EQ(call, "load");
}

TEST_F(SleepLeaseTest, PauseRestoresAndRefusesLaterSessions) {
  beginSession();
  lease.pauseAndRestore();
  EXPECT_EQ(log, kRestoreCalls);
  expectRestored();
  EXPECT_EQ(failureOf([&] { lease.begin(alice, 0, 10, false); }), kRemoving);
  // Everything else keeps working.
  lease.tick(11, false, true);
  lease.end(bob);
  lease.recover();
  EXPECT_EQ(failureOf([&] { lease.begin(bob, 0, 12, false); }), kRemoving);
}

TEST_F(SleepLeaseTest, PauseLatchesEvenWhenTheRestorationFails) {
  beginSession();
  journal.failNextLoad(std::runtime_error("x"));
  EXPECT_THROW(lease.pauseAndRestore(), std::runtime_error);
  EXPECT_FALSE(lease.active());
  EXPECT_TRUE(lease.recoveryPending());
  EXPECT_EQ(failureOf([&] { lease.begin(alice, 0, 10, false); }), kRemoving);
}

TEST_F(SleepLeaseTest, SeamErrorsPassThroughAsTheSameObject) {
  struct Marked : std::exception {};
  auto error = std::make_exception_ptr(Marked());
  const void* thrown = nullptr;
  try {
    std::rethrow_exception(error);
  } catch (const Marked& e) {
    thrown = &e;
  }
  journal.failNextLoad(error);
  try {
    lease.recover();
    FAIL() << "recover succeeded";
  } catch (const Marked& e) {
    EXPECT_EQ(&e, thrown);
  }
}

TEST_F(SleepLeaseTest, NewSessionStartsWithTheLidNotSeenClosed) {
  beginSession();
  lease.tick(1, true, true);
  lease.end(alice);
  beginSession(0, 10);
  lease.tick(11, false, true);  // would end a session that had seen the lid closed
  EXPECT_TRUE(lease.active());
}

}  // namespace
}  // namespace quellan
