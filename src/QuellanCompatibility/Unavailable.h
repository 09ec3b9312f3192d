#pragma once
// Stand-ins for the service manager and the daemon's transport on a machine that offers
// neither: the daemon is never found, registering fails with a plain description, and
// every call to the daemon fails as unreachable. The program uses them until the
// simulated MacBook's implementations are linked in.

#include <memory>
#include <stdexcept>
#include <string>

#include "Platform/ServiceConnection.h"
#include "Platform/ServiceManagement.h"

namespace quellan {

class UnavailableServiceManagement : public dravik::platform::ServiceManagement {
 public:
  static constexpr const char* kDescription = "No service manager is available on this machine.";

  std::unique_ptr<dravik::platform::DaemonService> daemon(const std::string&) override {
    return std::make_unique<Daemon>();
  }
  void openSystemSettingsLoginItems() override {}

 private:
  class Daemon : public dravik::platform::DaemonService {
   public:
    dravik::platform::ServiceStatus status() override {
      return dravik::platform::ServiceStatus::notFound;
    }
    void registerService() override { throw std::runtime_error(kDescription); }
    void unregister(UnregisterCompletion completion) override { completion(kDescription); }
  };
};

class UnavailableServiceConnector : public dravik::platform::ServiceConnector {
 public:
  std::shared_ptr<dravik::platform::ServiceConnection> connect(const std::string&) override {
    return std::make_shared<Connection>();
  }

 private:
  // Offers no proxy, which the client reports as a daemon it cannot reach.
  class Connection : public dravik::platform::ServiceConnection {
   public:
    void setCodeSigningRequirement(const std::string&) override {}
    void resume() override {}
    std::shared_ptr<quellan::QuellanSleepServiceProtocol> remoteObjectProxy(
        std::function<void()>) override {
      return nullptr;
    }
    void setInvalidationHandler(std::function<void()>) override {}
    void setInterruptionHandler(std::function<void()>) override {}
    void invalidate() override {}
  };
};

}  // namespace quellan
