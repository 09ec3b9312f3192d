#pragma once
// Registration of a launchd daemon that ships inside the running app (the service
// management framework on a Mac, the simulator's service manager here).
//
// A DaemonService names one daemon by the name of its property list. It holds no state of
// its own: every answer comes from the platform at the time of the call, so a fresh object
// may be made for every use.

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace dravik::platform {

// The platform's registration states, with the platform's raw values.
enum class ServiceStatus {
  notRegistered = 0,
  enabled = 1,
  requiresApproval = 2,
  notFound = 3,
};

class DaemonService {
 public:
  // Runs exactly once, on any thread (possibly before unregister() returns), with no value
  // on success or the failure's description.
  using UnregisterCompletion = std::function<void(std::optional<std::string> error)>;

  DaemonService() = default;
  DaemonService(const DaemonService&) = delete;
  DaemonService& operator=(const DaemonService&) = delete;
  virtual ~DaemonService() = default;

  // The registration state as the platform reports it now. Never fails: a daemon the
  // platform cannot find is notFound.
  virtual ServiceStatus status() = 0;
  // Registers the daemon. Synchronous; throws on failure, the exception's what() being the
  // platform's description of it. A registration that still awaits the user's approval
  // may fail this way too while status() already reports requiresApproval.
  virtual void registerService() = 0;
  // Unregisters the daemon (the platform stops it). The object may be destroyed before
  // `completion` runs; the completion still runs.
  virtual void unregister(UnregisterCompletion completion) = 0;
};

class ServiceManagement {
 public:
  ServiceManagement() = default;
  ServiceManagement(const ServiceManagement&) = delete;
  ServiceManagement& operator=(const ServiceManagement&) = delete;
  virtual ~ServiceManagement() = default;

  // The daemon whose property list `plistName` is bundled with the running app.
  virtual std::unique_ptr<DaemonService> daemon(const std::string& plistName) = 0;
  // Shows the user the place where background items are approved (the login-items page of
  // the system settings; the simulator's approval step). Fire and forget.
  virtual void openSystemSettingsLoginItems() = 0;
};

}  // namespace dravik::platform
