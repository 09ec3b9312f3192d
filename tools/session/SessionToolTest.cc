#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Fake/FakeQueues.h"
#include "QuellanServiceProtocol/ServiceProtocol.h"
#include "SessionTool.h"

namespace dravik {
namespace {

using quellan::QuellanSleepServiceProtocol;

// One message sent to the daemon, waiting for the test to answer it.
struct SentCall {
  std::string operation;
  std::int64_t minutes = 0;
  QuellanSleepServiceProtocol::StatusReply statusReply;
  QuellanSleepServiceProtocol::CommandReply commandReply;
  std::function<void()> errorHandler;
  bool answered = false;
};

// Every call over every connection, in the order sent.
struct FakeDaemon {
  std::vector<SentCall> calls;
  int connections = 0;

  std::vector<std::string> operations() const {
    std::vector<std::string> names;
    for (const auto& call : calls) names.push_back(call.operation);
    return names;
  }
};

class FakeProxy : public QuellanSleepServiceProtocol {
 public:
  FakeProxy(FakeDaemon& daemon, std::function<void()> errorHandler)
      : daemon_(daemon), errorHandler_(std::move(errorHandler)) {}
  void status(StatusReply reply) override {
    daemon_.calls.push_back({"status", 0, std::move(reply), nullptr, errorHandler_});
  }
  void beginSession(std::int64_t minutes, CommandReply reply) override {
    daemon_.calls.push_back({"beginSession", minutes, nullptr, std::move(reply), errorHandler_});
  }
  void renewSession(CommandReply reply) override { command("renewSession", std::move(reply)); }
  void endSession(CommandReply reply) override { command("endSession", std::move(reply)); }
  void prepareForRemoval(CommandReply reply) override {
    command("prepareForRemoval", std::move(reply));
  }

 private:
  void command(const char* name, CommandReply reply) {
    daemon_.calls.push_back({name, 0, nullptr, std::move(reply), errorHandler_});
  }
  FakeDaemon& daemon_;
  std::function<void()> errorHandler_;
};

class FakeConnection : public platform::ServiceConnection {
 public:
  explicit FakeConnection(FakeDaemon& daemon) : daemon_(daemon) {}
  void setCodeSigningRequirement(const std::string&) override {}
  void resume() override {}
  std::shared_ptr<QuellanSleepServiceProtocol> remoteObjectProxy(
      std::function<void()> errorHandler) override {
    return std::make_shared<FakeProxy>(daemon_, std::move(errorHandler));
  }
  void setInvalidationHandler(std::function<void()>) override {}
  void setInterruptionHandler(std::function<void()>) override {}
  void invalidate() override {}

 private:
  FakeDaemon& daemon_;
};

class FakeConnector : public platform::ServiceConnector {
 public:
  explicit FakeConnector(FakeDaemon& daemon) : daemon_(daemon) {}
  std::shared_ptr<platform::ServiceConnection> connect(const std::string&) override {
    ++daemon_.connections;
    return std::make_shared<FakeConnection>(daemon_);
  }

 private:
  FakeDaemon& daemon_;
};

// Holds the renewal until the test fires it.
class FakeTimer : public RenewalTimer {
 public:
  void start(double seconds, std::function<void()> work) override {
    delays.push_back(seconds);
    work_ = std::move(work);
    last = work_;
  }
  void cancel() override {
    ++cancels;
    work_ = nullptr;
  }
  bool waiting() const { return static_cast<bool>(work_); }
  void fire() {
    ASSERT_TRUE(work_) << "no renewal waiting";
    std::exchange(work_, nullptr)();
  }

  std::vector<double> delays;
  int cancels = 0;
  std::function<void()> last;  // the last work started, even after it was cancelled

 private:
  std::function<void()> work_;
};

class FixedPreferredLanguages : public platform::PreferredLanguages {
 public:
  std::vector<std::string> languages() const override { return list; }
  std::vector<std::string> list{"en-US"};
};

BeginOptions forMinutes(std::int64_t minutes) {
  BeginOptions options;
  options.minutes = minutes;
  return options;
}

BeginOptions quiet(std::optional<std::uint64_t> renewals) {
  BeginOptions options;
  options.renewals = renewals;
  options.quietRenewals = true;
  return options;
}

class SessionToolTest : public ::testing::Test {
 protected:
  SessionTool& tool(AppLanguage language = AppLanguage::english) {
    tool_.emplace(client_, main_, timer_, language, preferred_, out_,
                  [this](int status) { exitStatus_.push_back(status); });
    return *tool_;
  }

  // Answers the oldest unanswered call, which must be `operation`, and runs the main queue.
  void answer(const std::string& operation, bool ok,
              std::optional<std::string> message = std::nullopt) {
    SentCall& call = pending(operation);
    call.answered = true;
    call.commandReply(ok, std::move(message));
    main_.runAll();
  }
  void answerStatus(std::int64_t version, bool active, bool recoveryPending) {
    SentCall& call = pending("status");
    call.answered = true;
    call.statusReply(version, active, recoveryPending);
    main_.runAll();
  }
  // The transport could not deliver the call.
  void lose(const std::string& operation) {
    SentCall& call = pending(operation);
    call.answered = true;
    call.errorHandler();
    main_.runAll();
  }
  SentCall& pending(const std::string& operation) {
    for (auto& call : daemon_.calls) {
      if (!call.answered) {
        EXPECT_EQ(call.operation, operation);
        return call;
      }
    }
    ADD_FAILURE() << "no call waiting for " << operation;
    static SentCall none;
    return none;
  }
  void fireRenewal() {
    timer_.fire();
    main_.runAll();
  }

  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    std::istringstream in(out_.str());
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
  }

  platform::FakeMainQueue main_;
  platform::FakeGlobalQueue global_;
  FakeDaemon daemon_;
  FakeConnector connector_{daemon_};
  CompatibilityClient client_{main_, global_, connector_};
  FakeTimer timer_;
  FixedPreferredLanguages preferred_;
  std::ostringstream out_;
  std::vector<int> exitStatus_;
  std::optional<SessionTool> tool_;
};

TEST_F(SessionToolTest, BeginRenewsEveryFiveSecondsUntilStoppedThenEnds) {
  tool().begin({});
  ASSERT_EQ(daemon_.operations(), std::vector<std::string>{"beginSession"});
  EXPECT_EQ(daemon_.calls[0].minutes, 0);
  answer("beginSession", true);
  EXPECT_EQ(timer_.delays, std::vector<double>{5.0});

  fireRenewal();
  answer("renewSession", true);
  fireRenewal();
  answer("renewSession", true);
  EXPECT_EQ(timer_.delays, (std::vector<double>{5.0, 5.0, 5.0}));
  EXPECT_TRUE(exitStatus_.empty());

  tool_->stop();
  EXPECT_FALSE(timer_.waiting());
  EXPECT_EQ(daemon_.operations(), (std::vector<std::string>{"beginSession", "renewSession",
                                                            "renewSession", "endSession"}));
  main_.runAll();
  EXPECT_TRUE(exitStatus_.empty()) << "finished before the end was answered";
  answer("endSession", true);

  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "Closed-lid session began. Time limit: Until reopened",
                         "Renewed (1)",
                         "Renewed (2)",
                         "Session ended. Normal sleep restored.",
                     }));
  EXPECT_EQ(exitStatus_, std::vector<int>{0});
  EXPECT_EQ(daemon_.connections, 1);
}

TEST_F(SessionToolTest, StopWhileACallIsOutstandingEndsWhenItSucceeds) {
  // Stopped while the begin is outstanding.
  tool().begin(forMinutes(30));
  tool_->stop();
  answer("beginSession", true);
  EXPECT_TRUE(timer_.delays.empty()) << "a stopped session is not renewed";
  answer("endSession", true);
  EXPECT_EQ(exitStatus_, std::vector<int>{0});

  // Stopped while a renewal is outstanding.
  daemon_.calls.clear();
  out_.str("");
  exitStatus_.clear();
  tool().begin({});
  answer("beginSession", true);
  fireRenewal();
  tool_->stop();
  tool_->stop();  // a second signal changes nothing
  EXPECT_EQ(daemon_.operations(), (std::vector<std::string>{"beginSession", "renewSession"}));
  answer("renewSession", true);
  EXPECT_EQ(timer_.delays.size(), 1u);
  answer("endSession", true);
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "Closed-lid session began. Time limit: Until reopened",
                         "Renewed (1)",
                         "Session ended. Normal sleep restored.",
                     }));
  EXPECT_EQ(exitStatus_, std::vector<int>{0});
}

TEST_F(SessionToolTest, StopWhileBeginningAndTheBeginIsRefusedSendsNoEnd) {
  tool().begin({});
  tool_->stop();
  answer("beginSession", false, "另一个Quellan会话正在运行");
  EXPECT_EQ(daemon_.operations(), std::vector<std::string>{"beginSession"});
  EXPECT_EQ(lines(), std::vector<std::string>{"Another Quellan session is already running"});
  EXPECT_EQ(exitStatus_, std::vector<int>{1});
}

TEST_F(SessionToolTest, ATimerThatFiresAsTheSessionStopsSendsNoRenewal) {
  tool().begin({});
  answer("beginSession", true);
  auto stale = timer_.last;
  tool_->stop();
  stale();  // the timer had already expired when it was cancelled
  EXPECT_EQ(daemon_.operations(), (std::vector<std::string>{"beginSession", "endSession"}));
}

TEST_F(SessionToolTest, RenewalFailureEndsWithTheTranslatedTextAndStatusOne) {
  struct Case {
    AppLanguage language;
    std::vector<std::string> preferred;
    std::string expected;
  } cases[] = {
      {AppLanguage::english,
       {"zh-CN"},
       "Battery, temperature or user changed. This session has ended."},
      {AppLanguage::simplifiedChinese, {"en-US"}, "电量、温度或用户状态改变，本次已结束"},
      {AppLanguage::system, {"zh-Hans-CN"}, "电量、温度或用户状态改变，本次已结束"},
      {AppLanguage::system,
       {"en-GB", "zh-CN"},
       "Battery, temperature or user changed. This session has ended."},
  };
  for (const auto& c : cases) {
    daemon_.calls.clear();
    out_.str("");
    exitStatus_.clear();
    timer_.delays.clear();
    preferred_.list = c.preferred;
    tool(c.language).begin(quiet(std::nullopt));
    answer("beginSession", true);
    fireRenewal();
    answer("renewSession", true);
    fireRenewal();
    answer("renewSession", false, "电量、温度或用户状态改变，本次已结束");

    auto printed = lines();
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_EQ(printed[1], c.expected);
    EXPECT_EQ(exitStatus_, std::vector<int>{1});
    // The daemon already ended the session: nothing more is sent and nothing is timed.
    EXPECT_EQ(daemon_.operations(),
              (std::vector<std::string>{"beginSession", "renewSession", "renewSession"}));
    EXPECT_EQ(timer_.delays.size(), 2u);
    EXPECT_FALSE(timer_.waiting());
  }
}

TEST_F(SessionToolTest, RenewalThatNeverAnswersFailsAfterTheClientsTimeLimit) {
  tool().begin({});
  answer("beginSession", true);
  fireRenewal();
  global_.advance(6.0);
  main_.runAll();
  EXPECT_EQ(lines().back(),
            "Compatibility component timed out. Keep the lid open and check the component.");
  EXPECT_EQ(exitStatus_, std::vector<int>{1});
}

TEST_F(SessionToolTest, RenewalLimitEndsTheSession) {
  struct Case {
    std::uint64_t renewals;
    std::vector<std::string> operations;
  } cases[] = {
      {0, {"beginSession", "endSession"}},
      {1, {"beginSession", "renewSession", "endSession"}},
      {3, {"beginSession", "renewSession", "renewSession", "renewSession", "endSession"}},
  };
  for (const auto& c : cases) {
    daemon_.calls.clear();
    out_.str("");
    exitStatus_.clear();
    tool().begin(quiet(c.renewals));
    answer("beginSession", true);
    for (std::uint64_t i = 0; i < c.renewals; ++i) {
      fireRenewal();
      answer("renewSession", true);
    }
    EXPECT_FALSE(timer_.waiting()) << c.renewals;
    answer("endSession", true);
    EXPECT_EQ(daemon_.operations(), c.operations) << c.renewals;
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Closed-lid session began. Time limit: Until reopened",
                           "Session ended. Normal sleep restored.",
                       }))
        << c.renewals;
    EXPECT_EQ(exitStatus_, std::vector<int>{0}) << c.renewals;
  }
}

TEST_F(SessionToolTest, EndThatFailsAfterStopExitsOne) {
  tool(AppLanguage::simplifiedChinese).begin({});
  answer("beginSession", true);
  tool_->stop();
  answer("endSession", false, "兼容组件未能确认睡眠设置，请稍后重试");
  EXPECT_EQ(lines(), (std::vector<std::string>{"合盖会话已开始。最长保持：直到开盖",
                                               "兼容组件未能确认睡眠设置，请稍后重试"}));
  EXPECT_EQ(exitStatus_, std::vector<int>{1});
}

TEST_F(SessionToolTest, BeginRefusalsAreTranslated) {
  struct Case {
    std::optional<std::string> message;
    std::string expected;
  } cases[] = {
      {"请保持开盖，确认电量、温度和显示器状态后重试",
       "Keep the lid open and check battery, temperature and displays before trying again."},
      {"无效的时长设置", "Invalid time limit"},
      {"无法打开合盖接口：0xe00002c1", "Couldn't open the lid-control interface: 0xe00002c1"},
      {"a text outside the table", "a text outside the table"},
      // No words from the daemon (or empty ones): the client's own text.
      {std::nullopt, "Compatibility component unavailable. Open it to check its status."},
      {"", "Compatibility component unavailable. Open it to check its status."},
  };
  for (const auto& c : cases) {
    daemon_.calls.clear();
    out_.str("");
    exitStatus_.clear();
    tool().begin(forMinutes(45));
    EXPECT_EQ(daemon_.calls.at(0).minutes, 45);
    answer("beginSession", false, c.message);
    EXPECT_EQ(lines(), std::vector<std::string>{c.expected});
    EXPECT_EQ(exitStatus_, std::vector<int>{1});
    EXPECT_TRUE(timer_.delays.empty());
  }
}

TEST_F(SessionToolTest, UnreachableDaemon) {
  tool().begin({});
  lose("beginSession");
  EXPECT_EQ(lines(), std::vector<std::string>{"Install and approve Quellan Compatibility first"});
  EXPECT_EQ(exitStatus_, std::vector<int>{1});
}

TEST_F(SessionToolTest, TimeLimitWording) {
  struct Case {
    AppLanguage language;
    std::int64_t minutes;
    std::string expected;
  } cases[] = {
      {AppLanguage::english, 0, "Closed-lid session began. Time limit: Until reopened"},
      {AppLanguage::english, 30, "Closed-lid session began. Time limit: 30 minutes"},
      {AppLanguage::english, 90, "Closed-lid session began. Time limit: 1 hour"},
      {AppLanguage::english, 480, "Closed-lid session began. Time limit: 8 hours"},
      {AppLanguage::english, -5, "Closed-lid session began. Time limit: -5 minutes"},
      {AppLanguage::simplifiedChinese, 0, "合盖会话已开始。最长保持：直到开盖"},
      {AppLanguage::simplifiedChinese, 30, "合盖会话已开始。最长保持：30 分钟"},
      {AppLanguage::simplifiedChinese, 120, "合盖会话已开始。最长保持：2 小时"},
  };
  for (const auto& c : cases) {
    daemon_.calls.clear();
    out_.str("");
    tool(c.language).begin(forMinutes(c.minutes));
    EXPECT_EQ(daemon_.calls.at(0).minutes, c.minutes);
    answer("beginSession", true);
    EXPECT_EQ(lines(), std::vector<std::string>{c.expected});
  }
}

TEST_F(SessionToolTest, StatusInBothLanguages) {
  struct Case {
    AppLanguage language;
    bool active, recoveryPending;
    std::vector<std::string> expected;
  } cases[] = {
      {AppLanguage::english,
       false,
       false,
       {"Compatibility component ready", "Closed-lid session: none"}},
      {AppLanguage::english,
       true,
       false,
       {"Compatibility component ready", "Closed-lid session: running"}},
      {AppLanguage::english,
       false,
       true,
       {"Recovery isn't confirmed. Retrying; keep the lid open.", "Closed-lid session: none"}},
      {AppLanguage::simplifiedChinese, false, false, {"兼容组件已就绪", "合盖会话：未运行"}},
      {AppLanguage::simplifiedChinese,
       true,
       true,
       {"恢复尚未确认，正在重试；请保持开盖", "合盖会话：进行中"}},
  };
  for (const auto& c : cases) {
    daemon_.calls.clear();
    out_.str("");
    exitStatus_.clear();
    tool(c.language).status();
    answerStatus(1, c.active, c.recoveryPending);
    EXPECT_EQ(lines(), c.expected);
    EXPECT_EQ(exitStatus_, std::vector<int>{0});
  }
}

TEST_F(SessionToolTest, StatusFailures) {
  tool(AppLanguage::english).status();
  answerStatus(2, false, false);
  EXPECT_EQ(lines(), std::vector<std::string>{"Update Quellan Compatibility"});
  EXPECT_EQ(exitStatus_, std::vector<int>{1});

  out_.str("");
  exitStatus_.clear();
  tool(AppLanguage::simplifiedChinese).status();
  lose("status");
  EXPECT_EQ(lines(), std::vector<std::string>{"请先安装并授权Quellan兼容组件"});
  EXPECT_EQ(exitStatus_, std::vector<int>{1});
}

TEST_F(SessionToolTest, EndAndRemove) {
  struct Case {
    std::string operation;
    AppLanguage language;
    bool ok;
    std::optional<std::string> message;
    std::string expected;
    int exitStatus;
  } cases[] = {
      {"endSession", AppLanguage::english, true, std::nullopt,
       "End request carried out (another client's session is left alone)", 0},
      {"endSession", AppLanguage::simplifiedChinese, true, std::nullopt,
       "结束请求已完成（其他客户端的会话不受影响）", 0},
      {"endSession", AppLanguage::english, false, "兼容组件正在恢复睡眠，请保持开盖",
       "Restoring sleep. Keep the lid open.", 1},
      {"prepareForRemoval", AppLanguage::english, true, std::nullopt,
       "Sleep restored. You can remove the compatibility app.", 0},
      {"prepareForRemoval", AppLanguage::simplifiedChinese, true, std::nullopt,
       "睡眠已恢复，可以移除兼容组件", 0},
      {"prepareForRemoval", AppLanguage::english, false, "无法清除兼容组件恢复记录",
       "Could not clear the compatibility recovery record", 1},
  };
  for (const auto& c : cases) {
    daemon_.calls.clear();
    out_.str("");
    exitStatus_.clear();
    SessionTool& t = tool(c.language);
    if (c.operation == "endSession") {
      t.end();
    } else {
      t.remove();
    }
    t.stop();  // signals mean nothing outside a session
    ASSERT_EQ(daemon_.operations(), std::vector<std::string>{c.operation});
    answer(c.operation, c.ok, c.message);
    EXPECT_EQ(lines(), std::vector<std::string>{c.expected}) << c.operation;
    EXPECT_EQ(exitStatus_, std::vector<int>{c.exitStatus}) << c.operation;
    EXPECT_TRUE(timer_.delays.empty());
  }
}

TEST_F(SessionToolTest, FinishedRunsFromTheMainQueueAndOnce) {
  tool().status();
  SentCall& call = pending("status");
  call.answered = true;
  call.statusReply(1, false, false);
  main_.runOne();  // the client's delivery
  EXPECT_TRUE(exitStatus_.empty());
  main_.runAll();
  EXPECT_EQ(exitStatus_, std::vector<int>{0});
  tool_->status();  // a tool runs one command
  tool_->begin({});
  EXPECT_EQ(daemon_.operations(), std::vector<std::string>{"status"});
}

}  // namespace
}  // namespace dravik
