#include "QuellanCompatibility/fakes/ServiceConnectorFake.h"

#include <stdexcept>
#include <utility>

namespace quellan::fakes {

class ServiceConnectorFake::Proxy : public quellan::QuellanSleepServiceProtocol {
 public:
  Proxy(ServiceConnectorFake& owner, ServiceConnectionFake* connection,
        std::function<void()> errorHandler)
      : owner_(owner), connection_(connection), errorHandler_(std::move(errorHandler)) {}

  void status(StatusReply reply) override {
    Call call = make("status");
    call.statusReply = std::move(reply);
    owner_.send(std::move(call));
  }
  void beginSession(std::int64_t minutes, CommandReply reply) override {
    Call call = make("beginSession");
    call.minutes = minutes;
    call.commandReply = std::move(reply);
    owner_.send(std::move(call));
  }
  void renewSession(CommandReply reply) override { command("renewSession", std::move(reply)); }
  void endSession(CommandReply reply) override { command("endSession", std::move(reply)); }
  void prepareForRemoval(CommandReply reply) override {
    command("prepareForRemoval", std::move(reply));
  }

 private:
  Call make(const char* operation) {
    Call call;
    call.operation = operation;
    call.connection = connection_;
    call.errorHandler = errorHandler_;
    return call;
  }
  void command(const char* operation, CommandReply reply) {
    Call call = make(operation);
    call.commandReply = std::move(reply);
    owner_.send(std::move(call));
  }

  ServiceConnectorFake& owner_;
  ServiceConnectionFake* connection_;
  std::function<void()> errorHandler_;
};

std::shared_ptr<quellan::QuellanSleepServiceProtocol> ServiceConnectionFake::remoteObjectProxy(
    std::function<void()> errorHandler) {
  if (!owner_.speaksProtocol) return nullptr;
  return std::make_shared<ServiceConnectorFake::Proxy>(owner_, this, std::move(errorHandler));
}

void ServiceConnectionFake::invalidate() {
  invalidated = true;
  owner_.failCallsOf(this);
}

std::shared_ptr<dravik::platform::ServiceConnection> ServiceConnectorFake::connect(
    const std::string& serviceName) {
  serviceNames.push_back(serviceName);
  auto connection = std::make_shared<ServiceConnectionFake>(*this);
  connections.push_back(connection);
  return connection;
}

void ServiceConnectorFake::send(Call call) {
  operations.push_back(call.operation);
  if (!reachable || call.connection->invalidated) {
    call.errorHandler();
    return;
  }
  if (call.statusReply && autoStatus) {
    call.statusReply(autoStatus->version, autoStatus->active, autoStatus->recoveryPending);
    return;
  }
  if (call.commandReply && autoCommand) {
    call.commandReply(autoCommand->ok, autoCommand->message);
    return;
  }
  calls_.push_back(std::move(call));
}

ServiceConnectorFake::Call ServiceConnectorFake::takeOldest() {
  if (calls_.empty()) throw std::logic_error("no call is outstanding");
  Call call = std::move(calls_.front());
  calls_.pop_front();
  return call;
}

void ServiceConnectorFake::answerStatus(StatusAnswer answer) {
  Call call = takeOldest();
  if (!call.statusReply) throw std::logic_error("the oldest call is " + call.operation);
  call.statusReply(answer.version, answer.active, answer.recoveryPending);
}

void ServiceConnectorFake::answerCommand(CommandAnswer answer) {
  Call call = takeOldest();
  if (!call.commandReply) throw std::logic_error("the oldest call is " + call.operation);
  call.commandReply(answer.ok, answer.message);
}

void ServiceConnectorFake::failOldest() { takeOldest().errorHandler(); }

void ServiceConnectorFake::failCallsOf(ServiceConnectionFake* connection) {
  std::deque<Call> failed;
  for (auto it = calls_.begin(); it != calls_.end();) {
    if (it->connection == connection) {
      failed.push_back(std::move(*it));
      it = calls_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& call : failed) call.errorHandler();
}

}  // namespace quellan::fakes
