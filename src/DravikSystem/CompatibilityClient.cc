#include "DravikSystem/CompatibilityClient.h"

#include <mutex>
#include <optional>
#include <string>

namespace dravik {
namespace {

using quellan::CompatibilityService;
using quellan::QuellanSleepServiceProtocol;

constexpr const char* kNotInstalled = "请先安装并授权Quellan兼容组件";
constexpr const char* kTimedOut = "兼容组件响应超时，请保持开盖并检查组件";
constexpr const char* kOutdated = "请更新Quellan兼容组件";
constexpr const char* kUnavailable = "兼容组件暂时不可用，请重新打开组件检查";
constexpr double kTimeLimitSeconds = 6.0;

// Lets exactly one of a call's reply, error report and time limit deliver its result.
template <class T>
class ReplyGate {
 public:
  explicit ReplyGate(std::function<void(Result<T>)> callback) : callback_(std::move(callback)) {}

  void finish(Result<T> result) {
    std::function<void(Result<T>)> callback;
    {
      std::lock_guard guard(lock_);
      callback.swap(callback_);
    }
    if (callback) callback(std::move(result));
  }

 private:
  std::mutex lock_;
  std::function<void(Result<T>)> callback_;
};

}  // namespace

struct CompatibilityClient::State : std::enable_shared_from_this<CompatibilityClient::State> {
  State(platform::MainQueue& mainQueue, platform::GlobalQueue& globalQueue,
        platform::ServiceConnector& connector)
      : mainQueue(mainQueue), globalQueue(globalQueue), connector(connector) {}

  template <class T>
  using Finish = std::function<void(Result<T>)>;
  template <class T>
  using Operation =
      std::function<void(const std::shared_ptr<QuellanSleepServiceProtocol>&, Finish<T>)>;
  using CommandOperation = std::function<void(const std::shared_ptr<QuellanSleepServiceProtocol>&,
                                              QuellanSleepServiceProtocol::CommandReply)>;

  template <class T>
  void call(Completion<T> completion, const Operation<T>& operation) {
    if (!connection) {
      connection = connector.connect(CompatibilityService::name());
      connection->setCodeSigningRequirement(CompatibilityService::daemonRequirement());
      connection->resume();
    }
    std::weak_ptr<platform::ServiceConnection> callConnection = connection;
    std::weak_ptr<State> client = weak_from_this();
    platform::MainQueue& main = mainQueue;

    auto gate = std::make_shared<ReplyGate<T>>(
        [&main, client, callConnection, completion = std::move(completion)](Result<T> result) {
          main.post([client, callConnection, completion, result = std::move(result)] {
            if (!result.ok()) {
              auto state = client.lock();
              if (state && state->connection && state->connection == callConnection.lock()) {
                state->invalidate();
              }
            }
            completion(result);
          });
        });

    auto proxy = connection->remoteObjectProxy([gate] { gate->finish(PowerError(kNotInstalled)); });
    if (!proxy) {
      gate->finish(PowerError(kNotInstalled));
      return;
    }
    globalQueue.postAfter(kTimeLimitSeconds, [gate] { gate->finish(PowerError(kTimedOut)); });
    operation(proxy, [gate](Result<T> result) { gate->finish(std::move(result)); });
  }

  void command(Completion<Done> completion, CommandOperation operation) {
    call<Done>(std::move(completion),
               [operation = std::move(operation)](
                   const std::shared_ptr<QuellanSleepServiceProtocol>& proxy, Finish<Done> finish) {
                 operation(proxy, [finish](bool ok, std::optional<std::string> message) {
                   if (ok) {
                     finish(Done{});
                   } else if (message) {
                     finish(PowerError(std::move(*message)));
                   } else {
                     finish(PowerError(kUnavailable));
                   }
                 });
               });
  }

  void invalidate() {
    if (connection) {
      connection->setInvalidationHandler(nullptr);
      connection->setInterruptionHandler(nullptr);
      connection->invalidate();
    }
    connection.reset();
  }

  platform::MainQueue& mainQueue;
  platform::GlobalQueue& globalQueue;
  platform::ServiceConnector& connector;
  // Main thread only.
  std::shared_ptr<platform::ServiceConnection> connection;
};

CompatibilityClient::CompatibilityClient(platform::MainQueue& mainQueue,
                                         platform::GlobalQueue& globalQueue,
                                         platform::ServiceConnector& connector)
    : state_(std::make_shared<State>(mainQueue, globalQueue, connector)) {}

CompatibilityClient::~CompatibilityClient() {
  if (state_->connection) state_->connection->invalidate();
}

void CompatibilityClient::status(Completion<CompatibilityStatus> completion) {
  state_->call<CompatibilityStatus>(
      std::move(completion), [](const std::shared_ptr<QuellanSleepServiceProtocol>& proxy,
                                State::Finish<CompatibilityStatus> finish) {
        proxy->status([finish](std::int64_t version, bool active, bool recoveryPending) {
          if (version != CompatibilityService::version) {
            finish(PowerError(kOutdated));
          } else {
            finish(CompatibilityStatus{active, recoveryPending});
          }
        });
      });
}

void CompatibilityClient::begin(std::int64_t minutes, Completion<Done> completion) {
  state_->command(std::move(completion),
                  [minutes](const std::shared_ptr<QuellanSleepServiceProtocol>& proxy,
                            QuellanSleepServiceProtocol::CommandReply reply) {
                    proxy->beginSession(minutes, std::move(reply));
                  });
}

void CompatibilityClient::renew(Completion<Done> completion) {
  state_->command(std::move(completion),
                  [](const std::shared_ptr<QuellanSleepServiceProtocol>& proxy,
                     QuellanSleepServiceProtocol::CommandReply reply) {
                    proxy->renewSession(std::move(reply));
                  });
}

void CompatibilityClient::end(Completion<Done> completion) {
  state_->command(
      std::move(completion),
      [](const std::shared_ptr<QuellanSleepServiceProtocol>& proxy,
         QuellanSleepServiceProtocol::CommandReply reply) { proxy->endSession(std::move(reply)); });
}

void CompatibilityClient::prepareForRemoval(Completion<Done> completion) {
  state_->command(std::move(completion),
                  [](const std::shared_ptr<QuellanSleepServiceProtocol>& proxy,
                     QuellanSleepServiceProtocol::CommandReply reply) {
                    proxy->prepareForRemoval(std::move(reply));
                  });
}

void CompatibilityClient::invalidate() { state_->invalidate(); }

}  // namespace dravik
