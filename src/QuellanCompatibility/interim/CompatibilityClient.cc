// A stand-in for the system library's client, built only while that library does not
// carry one yet, so the companion app links and its model tests drive a working client.
// Same contract as the header: one connection, opened on first use; one ending per call;
// a 6-second limit; delivery on the main queue; a failed call drops its connection.

#include "DravikSystem/CompatibilityClient.h"

#include <mutex>
#include <utility>

namespace dravik {

namespace {

constexpr const char* kUnreachable = "请先安装并授权Quellan兼容组件";
constexpr const char* kTimedOut = "兼容组件响应超时，请保持开盖并检查组件";
constexpr const char* kOutdated = "请更新Quellan兼容组件";
constexpr const char* kUnavailable = "兼容组件暂时不可用，请重新打开组件检查";
constexpr double kTimeLimitSeconds = 6.0;

// Lets exactly one of the reply, the error handler and the time limit deliver.
template <class T>
class ReplyGate {
 public:
  explicit ReplyGate(std::function<void(Result<T>)> callback) : callback_(std::move(callback)) {}
  void finish(Result<T> result) {
    std::function<void(Result<T>)> callback;
    {
      std::lock_guard lock(mutex_);
      callback = std::move(callback_);
      callback_ = nullptr;
    }
    if (callback) callback(std::move(result));
  }

 private:
  std::mutex mutex_;
  std::function<void(Result<T>)> callback_;
};

}  // namespace

struct CompatibilityClient::State {
  platform::MainQueue& mainQueue;
  platform::GlobalQueue& globalQueue;
  platform::ServiceConnector& connector;
  std::shared_ptr<platform::ServiceConnection> connection;

  template <class T, class Operation>
  static void call(const std::shared_ptr<State>& state, Completion<T> completion,
                   Operation operation) {
    if (!state->connection) {
      state->connection = state->connector.connect(quellan::CompatibilityService::name());
      state->connection->setCodeSigningRequirement(
          quellan::CompatibilityService::daemonRequirement());
      state->connection->resume();
    }
    std::shared_ptr<platform::ServiceConnection> used = state->connection;
    std::weak_ptr<State> weak = state;
    platform::MainQueue& mainQueue = state->mainQueue;
    auto gate = std::make_shared<ReplyGate<T>>(
        [weak, used, &mainQueue, completion = std::move(completion)](Result<T> result) {
          mainQueue.post([weak, used, completion, result = std::move(result)] {
            if (!result.ok()) {
              auto alive = weak.lock();
              if (alive && alive->connection && alive->connection == used) alive->invalidate();
            }
            completion(result);
          });
        });
    auto finish = [gate](Result<T> result) { gate->finish(std::move(result)); };
    auto proxy = used->remoteObjectProxy([finish] { finish(PowerError(kUnreachable)); });
    if (!proxy) {
      finish(PowerError(kUnreachable));
      return;
    }
    state->globalQueue.postAfter(kTimeLimitSeconds, [finish] { finish(PowerError(kTimedOut)); });
    operation(*proxy, finish);
  }

  template <class Send>
  static void command(const std::shared_ptr<State>& state, Completion<Done> completion, Send send) {
    call<Done>(state, std::move(completion), [send](auto& proxy, auto finish) {
      send(proxy, [finish](bool ok, std::optional<std::string> message) {
        if (ok) return finish(Done{});
        finish(PowerError(message ? *message : kUnavailable));
      });
    });
  }

  void invalidate() {
    if (!connection) return;
    std::shared_ptr<platform::ServiceConnection> dropped = std::move(connection);
    connection = nullptr;
    dropped->setInvalidationHandler(nullptr);
    dropped->setInterruptionHandler(nullptr);
    dropped->invalidate();
  }
};

CompatibilityClient::CompatibilityClient(platform::MainQueue& mainQueue,
                                         platform::GlobalQueue& globalQueue,
                                         platform::ServiceConnector& connector)
    : state_(std::make_shared<State>(State{mainQueue, globalQueue, connector, nullptr})) {}

CompatibilityClient::~CompatibilityClient() {
  if (state_->connection) {
    auto connection = std::move(state_->connection);
    state_.reset();
    connection->invalidate();
  }
}

void CompatibilityClient::status(Completion<CompatibilityStatus> completion) {
  State::call<CompatibilityStatus>(state_, std::move(completion), [](auto& proxy, auto finish) {
    proxy.status([finish](std::int64_t version, bool active, bool recoveryPending) {
      if (version != quellan::CompatibilityService::version) return finish(PowerError(kOutdated));
      finish(CompatibilityStatus{active, recoveryPending});
    });
  });
}

void CompatibilityClient::begin(std::int64_t minutes, Completion<Done> completion) {
  State::command(state_, std::move(completion),
                 [minutes](auto& proxy, auto reply) { proxy.beginSession(minutes, reply); });
}

void CompatibilityClient::renew(Completion<Done> completion) {
  State::command(state_, std::move(completion),
                 [](auto& proxy, auto reply) { proxy.renewSession(reply); });
}

void CompatibilityClient::end(Completion<Done> completion) {
  State::command(state_, std::move(completion),
                 [](auto& proxy, auto reply) { proxy.endSession(reply); });
}

void CompatibilityClient::prepareForRemoval(Completion<Done> completion) {
  State::command(state_, std::move(completion),
                 [](auto& proxy, auto reply) { proxy.prepareForRemoval(reply); });
}

void CompatibilityClient::invalidate() { state_->invalidate(); }

}  // namespace dravik
