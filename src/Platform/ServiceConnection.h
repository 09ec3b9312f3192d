#pragma once
// The client side of a connection to a privileged local service (an XPC connection on a
// Mac, a Unix-domain socket on the simulated MacBook). Shaped like the calls the daemon's
// client makes, so the client's logic reads the same on every platform.

#include <functional>
#include <memory>
#include <string>

#include "QuellanServiceProtocol/ServiceProtocol.h"

namespace dravik::platform {

// One connection. Made by a ServiceConnector; nothing is sent before resume(). Methods are
// called from the owner's thread; handlers and replies may run on any thread.
class ServiceConnection {
 public:
  ServiceConnection() = default;
  ServiceConnection(const ServiceConnection&) = delete;
  ServiceConnection& operator=(const ServiceConnection&) = delete;
  virtual ~ServiceConnection() = default;

  // The code requirement the service's process must satisfy before anything is sent; a
  // peer that does not is treated as unreachable (the proxy's error handler fires).
  virtual void setCodeSigningRequirement(const std::string& requirement) = 0;
  virtual void resume() = 0;
  // A proxy whose calls go to the service. `errorHandler` runs (on any thread) whenever a
  // message sent through this proxy, or its reply, cannot be delivered; each reply of a
  // call that failed that way is never delivered. Null when the service does not speak
  // the protocol.
  virtual std::shared_ptr<quellan::QuellanSleepServiceProtocol> remoteObjectProxy(
      std::function<void()> errorHandler) = 0;
  virtual void setInvalidationHandler(std::function<void()> handler) = 0;
  virtual void setInterruptionHandler(std::function<void()> handler) = 0;
  // Ends the connection; outstanding calls fail through their error handlers.
  virtual void invalidate() = 0;
};

class ServiceConnector {
 public:
  ServiceConnector() = default;
  ServiceConnector(const ServiceConnector&) = delete;
  ServiceConnector& operator=(const ServiceConnector&) = delete;
  virtual ~ServiceConnector() = default;

  // A new connection object to the privileged service `serviceName`. Opens nothing yet and
  // never fails: failures surface later through the proxy's error handler.
  virtual std::shared_ptr<ServiceConnection> connect(const std::string& serviceName) = 0;
};

}  // namespace dravik::platform
