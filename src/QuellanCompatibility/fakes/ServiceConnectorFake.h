#pragma once
// An in-memory daemon behind fake connections. Calls wait until the test answers or fails
// them (oldest first), unless a switch answers them at once. Runs on the test's thread.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/ServiceConnection.h"

namespace quellan::fakes {

class ServiceConnectorFake;

class ServiceConnectionFake : public dravik::platform::ServiceConnection {
 public:
  explicit ServiceConnectionFake(ServiceConnectorFake& owner) : owner_(owner) {}

  void setCodeSigningRequirement(const std::string& value) override { requirement = value; }
  void resume() override { resumed = true; }
  std::shared_ptr<quellan::QuellanSleepServiceProtocol> remoteObjectProxy(
      std::function<void()> errorHandler) override;
  void setInvalidationHandler(std::function<void()> handler) override {
    invalidationHandlerSet = static_cast<bool>(handler);
  }
  void setInterruptionHandler(std::function<void()> handler) override {
    interruptionHandlerSet = static_cast<bool>(handler);
  }
  void invalidate() override;

  std::string requirement;
  bool resumed = false;
  bool invalidated = false;
  bool invalidationHandlerSet = false;
  bool interruptionHandlerSet = false;

 private:
  ServiceConnectorFake& owner_;
};

class ServiceConnectorFake : public dravik::platform::ServiceConnector {
 public:
  struct StatusAnswer {
    std::int64_t version = 1;
    bool active = false;
    bool recoveryPending = false;
  };
  struct CommandAnswer {
    bool ok = true;
    std::optional<std::string> message;
  };
  struct Call {
    std::string operation;  // "status", "beginSession", ..., "prepareForRemoval"
    std::int64_t minutes = 0;
    ServiceConnectionFake* connection = nullptr;
    quellan::QuellanSleepServiceProtocol::StatusReply statusReply;
    quellan::QuellanSleepServiceProtocol::CommandReply commandReply;
    std::function<void()> errorHandler;
  };

  std::shared_ptr<dravik::platform::ServiceConnection> connect(
      const std::string& serviceName) override;

  // The service returns no proxy (it does not speak the protocol).
  bool speaksProtocol = true;
  // No daemon listens: every call fails through its error handler as soon as it is sent.
  bool reachable = true;
  // Answers given at once, instead of waiting for the test.
  std::optional<StatusAnswer> autoStatus;
  std::optional<CommandAnswer> autoCommand;

  std::vector<std::string> serviceNames;
  std::vector<std::shared_ptr<ServiceConnectionFake>> connections;
  std::vector<std::string> operations;  // every call sent, in order

  size_t outstanding() const { return calls_.size(); }
  const Call& oldest() const { return calls_.front(); }
  void answerStatus(StatusAnswer answer);
  void answerCommand(CommandAnswer answer);
  // The oldest call's message cannot be delivered: its error handler runs.
  void failOldest();

 private:
  friend class ServiceConnectionFake;
  class Proxy;
  void send(Call call);
  void failCallsOf(ServiceConnectionFake* connection);
  Call takeOldest();

  std::deque<Call> calls_;
};

}  // namespace quellan::fakes
