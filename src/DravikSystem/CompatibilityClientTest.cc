#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "DravikSystem/CompatibilityClient.h"

namespace dravik {
namespace {

using quellan::CompatibilityService;
using quellan::QuellanSleepServiceProtocol;

// Runs posted work only when the test says so.
class ManualMainQueue : public platform::MainQueue {
 public:
  void post(std::function<void()> work) override {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(work));
  }
  std::size_t runAll() {
    std::size_t ran = 0;
    for (;;) {
      std::vector<std::function<void()>> batch;
      {
        std::lock_guard lock(mutex_);
        batch.swap(work_);
      }
      if (batch.empty()) return ran;
      for (auto& w : batch) w();
      ran += batch.size();
    }
  }

 private:
  std::mutex mutex_;
  std::vector<std::function<void()>> work_;
};

// Holds delayed work until the test fires it.
class ManualGlobalQueue : public platform::GlobalQueue {
 public:
  void postAfter(double seconds, std::function<void()> work) override {
    delays.push_back(seconds);
    work_.push_back(std::move(work));
  }
  void fireAll() {
    auto work = std::move(work_);
    work_.clear();
    for (auto& w : work) w();
  }
  std::vector<double> delays;

 private:
  std::vector<std::function<void()>> work_;
};

struct SentCall {
  std::string operation;
  std::int64_t minutes = 0;
  QuellanSleepServiceProtocol::StatusReply statusReply;
  QuellanSleepServiceProtocol::CommandReply commandReply;
  std::function<void()> errorHandler;
};

// A connection that records what was sent and lets the test answer or fail each call.
class FakeConnection : public platform::ServiceConnection {
 public:
  std::optional<std::string> requirement;
  bool resumed = false;
  bool invalidated = false;
  bool speaksProtocol = true;
  int handlersCleared = 0;
  std::vector<SentCall> calls;

  void setCodeSigningRequirement(const std::string& text) override { requirement = text; }
  void resume() override { resumed = true; }
  std::shared_ptr<QuellanSleepServiceProtocol> remoteObjectProxy(
      std::function<void()> errorHandler) override;
  void setInvalidationHandler(std::function<void()> handler) override {
    if (!handler) ++handlersCleared;
  }
  void setInterruptionHandler(std::function<void()> handler) override {
    if (!handler) ++handlersCleared;
  }
  // Like a real transport: every call still waiting fails through its error handler.
  void invalidate() override {
    invalidated = true;
    for (auto& call : calls) {
      if (auto handler = std::exchange(call.errorHandler, nullptr)) handler();
    }
  }
};

class FakeProxy : public QuellanSleepServiceProtocol {
 public:
  FakeProxy(FakeConnection& connection, std::function<void()> errorHandler)
      : connection_(connection), errorHandler_(std::move(errorHandler)) {}
  void status(StatusReply reply) override {
    connection_.calls.push_back({"status", 0, std::move(reply), nullptr, errorHandler_});
  }
  void beginSession(std::int64_t minutes, CommandReply reply) override {
    connection_.calls.push_back(
        {"beginSession", minutes, nullptr, std::move(reply), errorHandler_});
  }
  void renewSession(CommandReply reply) override { command("renewSession", std::move(reply)); }
  void endSession(CommandReply reply) override { command("endSession", std::move(reply)); }
  void prepareForRemoval(CommandReply reply) override {
    command("prepareForRemoval", std::move(reply));
  }

 private:
  void command(const char* name, CommandReply reply) {
    connection_.calls.push_back({name, 0, nullptr, std::move(reply), errorHandler_});
  }
  FakeConnection& connection_;
  std::function<void()> errorHandler_;
};

std::shared_ptr<QuellanSleepServiceProtocol> FakeConnection::remoteObjectProxy(
    std::function<void()> errorHandler) {
  if (!speaksProtocol) return nullptr;
  return std::make_shared<FakeProxy>(*this, std::move(errorHandler));
}

class FakeConnector : public platform::ServiceConnector {
 public:
  bool nextSpeaksProtocol = true;
  std::vector<std::string> names;
  std::vector<std::shared_ptr<FakeConnection>> connections;

  std::shared_ptr<platform::ServiceConnection> connect(const std::string& name) override {
    names.push_back(name);
    connections.push_back(std::make_shared<FakeConnection>());
    connections.back()->speaksProtocol = nextSpeaksProtocol;
    return connections.back();
  }
};

// What a completion received: "ok", "status <active> <recoveryPending>" or the failure text.
template <class T>
struct Received {
  std::vector<std::string> results;
  std::function<void(Result<T>)> completion() {
    return [this](Result<T> result) {
      if (!result.ok()) {
        results.push_back(result.error().text);
      } else if constexpr (std::is_same_v<T, CompatibilityStatus>) {
        results.push_back("status " + std::to_string(result.value().active) + " " +
                          std::to_string(result.value().recoveryPending));
      } else {
        results.push_back("ok");
      }
    };
  }
};

class CompatibilityClientTest : public ::testing::Test {
 protected:
  FakeConnection& connection(std::size_t i) { return *connector_.connections.at(i); }

  ManualMainQueue main_;
  ManualGlobalQueue global_;
  FakeConnector connector_;
  std::optional<CompatibilityClient> client_{std::in_place, main_, global_, connector_};
};

TEST_F(CompatibilityClientTest, FirstCallOpensOneConnectionWithTheDaemonRequirement) {
  EXPECT_TRUE(connector_.connections.empty());  // construction opens nothing
  Received<CompatibilityStatus> first, second;
  client_->status(first.completion());
  client_->status(second.completion());
  ASSERT_EQ(connector_.connections.size(), 1u);
  EXPECT_EQ(connector_.names, std::vector<std::string>{CompatibilityService::name()});
  EXPECT_EQ(connection(0).requirement, CompatibilityService::daemonRequirement());
  EXPECT_TRUE(connection(0).resumed);
  EXPECT_EQ(global_.delays, (std::vector<double>{6.0, 6.0}));
}

TEST_F(CompatibilityClientTest, StatusReplies) {
  struct Case {
    std::int64_t version;
    bool active, recoveryPending;
    std::string expected;
  } cases[] = {
      {1, true, true, "status 1 1"},
      {1, false, true, "status 0 1"},
      {1, false, false, "status 0 0"},
      {2, false, false, "请更新Quellan兼容组件"},
      {0, true, true, "请更新Quellan兼容组件"},
  };
  for (const auto& c : cases) {
    Received<CompatibilityStatus> received;
    client_->status(received.completion());
    auto& call = connector_.connections.back()->calls.back();
    ASSERT_EQ(call.operation, "status");
    call.statusReply(c.version, c.active, c.recoveryPending);
    EXPECT_TRUE(received.results.empty()) << "delivered inside the reply";
    main_.runAll();
    EXPECT_EQ(received.results, std::vector<std::string>{c.expected}) << c.version;
  }
  // The two version mismatches each dropped their connection.
  EXPECT_EQ(connector_.connections.size(), 2u);
  EXPECT_TRUE(connection(0).invalidated);
  EXPECT_TRUE(connection(1).invalidated);
}

TEST_F(CompatibilityClientTest, CommandReplies) {
  struct Case {
    bool ok;
    std::optional<std::string> message;
    std::string expected;
  } cases[] = {
      {true, std::nullopt, "ok"},
      {true, "ignored", "ok"},
      {false, "已有其他保持唤醒会话", "已有其他保持唤醒会话"},
      {false, "", ""},
      {false, std::nullopt, "兼容组件暂时不可用，请重新打开组件检查"},
  };
  using Command = std::function<void(CompatibilityClient&, CompatibilityClient::Completion<Done>)>;
  const std::pair<std::string, Command> commands[] = {
      {"beginSession", [](auto& c, auto done) { c.begin(480, std::move(done)); }},
      {"renewSession", [](auto& c, auto done) { c.renew(std::move(done)); }},
      {"endSession", [](auto& c, auto done) { c.end(std::move(done)); }},
      {"prepareForRemoval", [](auto& c, auto done) { c.prepareForRemoval(std::move(done)); }},
  };
  for (const auto& [operation, send] : commands) {
    for (const auto& c : cases) {
      Received<Done> received;
      send(*client_, received.completion());
      auto& call = connector_.connections.back()->calls.back();
      ASSERT_EQ(call.operation, operation);
      call.commandReply(c.ok, c.message);
      main_.runAll();
      EXPECT_EQ(received.results, std::vector<std::string>{c.expected})
          << operation << " " << c.ok << " " << c.message.value_or("(none)");
      // A refusal drops the connection; a success keeps it.
      EXPECT_EQ(connector_.connections.back()->invalidated, !c.ok);
    }
  }
}

TEST_F(CompatibilityClientTest, BeginSendsMinutesUnchanged) {
  for (std::int64_t minutes : {0, -5, 30, 100000}) {
    Received<Done> received;
    client_->begin(minutes, received.completion());
    EXPECT_EQ(connection(0).calls.back().minutes, minutes);
  }
}

TEST_F(CompatibilityClientTest, ErrorReportFailsTheCallAndTheNextCallOpensAFreshConnection) {
  Received<Done> received;
  client_->renew(received.completion());
  connection(0).calls[0].errorHandler();
  EXPECT_TRUE(received.results.empty());
  main_.runAll();
  EXPECT_EQ(received.results, std::vector<std::string>{"请先安装并授权Quellan兼容组件"});
  EXPECT_TRUE(connection(0).invalidated);
  EXPECT_EQ(connection(0).handlersCleared, 2);

  client_->renew(received.completion());
  ASSERT_EQ(connector_.connections.size(), 2u);
  EXPECT_EQ(connection(1).requirement, CompatibilityService::daemonRequirement());
  EXPECT_TRUE(connection(1).resumed);
}

TEST_F(CompatibilityClientTest, ProxyNotSpeakingTheProtocolFailsWithoutATimeLimit) {
  connector_.nextSpeaksProtocol = false;
  Received<CompatibilityStatus> received;
  client_->status(received.completion());
  EXPECT_TRUE(received.results.empty()) << "completion ran inside the call";
  EXPECT_TRUE(global_.delays.empty());
  EXPECT_TRUE(connection(0).calls.empty());
  main_.runAll();
  EXPECT_EQ(received.results, std::vector<std::string>{"请先安装并授权Quellan兼容组件"});
  EXPECT_TRUE(connection(0).invalidated);
}

TEST_F(CompatibilityClientTest, ReplyAfterTheTimeLimitIsDropped) {
  Received<CompatibilityStatus> received;
  client_->status(received.completion());
  global_.fireAll();
  connection(0).calls[0].statusReply(1, true, true);
  main_.runAll();
  EXPECT_EQ(received.results, std::vector<std::string>{"兼容组件响应超时，请保持开盖并检查组件"});
  EXPECT_TRUE(connection(0).invalidated);
}

TEST_F(CompatibilityClientTest, TimeLimitAfterTheReplyDoesNothing) {
  Received<Done> received;
  client_->end(received.completion());
  connection(0).calls[0].commandReply(true, std::nullopt);
  global_.fireAll();
  main_.runAll();
  EXPECT_EQ(received.results, std::vector<std::string>{"ok"});
  EXPECT_FALSE(connection(0).invalidated);
}

TEST_F(CompatibilityClientTest, RacingReplyErrorAndTimeLimitDeliverOnce) {
  for (int round = 0; round < 200; ++round) {
    Received<CompatibilityStatus> received;
    client_->status(received.completion());
    auto& call = connector_.connections.back()->calls.back();
    auto reply = call.statusReply;
    auto error = call.errorHandler;
    std::thread a([&] { reply(1, false, false); });
    std::thread b([&] { error(); });
    std::thread c([&] { global_.fireAll(); });
    a.join();
    b.join();
    c.join();
    main_.runAll();
    ASSERT_EQ(received.results.size(), 1u) << "round " << round;
  }
}

TEST_F(CompatibilityClientTest, LateFailureOnAnOldConnectionLeavesTheNewOneOpen) {
  Received<Done> first, second, third;
  client_->renew(first.completion());
  client_->renew(second.completion());
  connection(0).calls[0].errorHandler();
  main_.runAll();  // drops A
  EXPECT_TRUE(connection(0).invalidated);

  client_->renew(third.completion());
  ASSERT_EQ(connector_.connections.size(), 2u);
  // A's invalidation already failed the second call; deliver it only now.
  main_.runAll();
  EXPECT_EQ(second.results, std::vector<std::string>{"请先安装并授权Quellan兼容组件"});
  EXPECT_FALSE(connection(1).invalidated);

  Received<Done> fourth;
  client_->renew(fourth.completion());
  EXPECT_EQ(connector_.connections.size(), 2u);  // B still in use
}

TEST_F(CompatibilityClientTest, ClientDestroyedWithACallOutstandingStillCompletesOnTheMainQueue) {
  Received<CompatibilityStatus> received;
  client_->status(received.completion());
  client_.reset();
  EXPECT_TRUE(connection(0).invalidated);
  EXPECT_EQ(connection(0).handlersCleared, 0);
  EXPECT_TRUE(received.results.empty());
  main_.runAll();
  EXPECT_EQ(received.results, std::vector<std::string>{"请先安装并授权Quellan兼容组件"});
  global_.fireAll();  // the time limit finds the call finished
  main_.runAll();
  EXPECT_EQ(received.results.size(), 1u);
}

TEST_F(CompatibilityClientTest, InvalidateWithoutAConnectionDoesNothing) {
  client_->invalidate();
  EXPECT_TRUE(connector_.connections.empty());
  EXPECT_EQ(main_.runAll(), 0u);
}

TEST_F(CompatibilityClientTest, InvalidateClearsHandlersDropsTheConnectionAndTheNextCallReopens) {
  Received<Done> received;
  client_->renew(received.completion());
  connection(0).calls[0].commandReply(true, std::nullopt);
  main_.runAll();
  client_->invalidate();
  EXPECT_TRUE(connection(0).invalidated);
  EXPECT_EQ(connection(0).handlersCleared, 2);
  client_->renew(received.completion());
  EXPECT_EQ(connector_.connections.size(), 2u);
}

}  // namespace
}  // namespace dravik
