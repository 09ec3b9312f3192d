#pragma once
// The client side of the local service transport: connections to a service's Unix-domain
// socket, served by one background thread each.
//
// Before anything is sent a connection checks its peer: the process must run as root and,
// when a requirement was set, its code must satisfy it (looked up by the socket's pidfd).
// A peer that fails, a connect that fails, a malformed reply or a lost connection fails
// every call through its proxy's error handler, exactly once, and runs the invalidation
// handler once. The interruption handler is never called: a lost connection is not
// re-established. Replies and error handlers run on the connection's thread, or on the
// caller's when the connection has already ended.

#include <memory>
#include <string>

#include "Platform/CodeSigning.h"
#include "Platform/ServiceConnection.h"

namespace dravik::platform {

class LocalServiceConnector : public ServiceConnector {
 public:
  struct Options {
    // Tests that cannot run the service as root turn this off.
    bool requireRootPeer = true;
  };

  // `codeSigning` is not owned and must outlive every connection made.
  explicit LocalServiceConnector(CodeSigning& codeSigning);
  LocalServiceConnector(CodeSigning& codeSigning, Options options);

  // Connects to serviceSocketPath(serviceName) on resume().
  std::shared_ptr<ServiceConnection> connect(const std::string& serviceName) override;

 private:
  CodeSigning& codeSigning_;
  Options options_;
};

}  // namespace dravik::platform
