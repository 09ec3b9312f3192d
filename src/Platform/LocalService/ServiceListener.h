#pragma once
// The server side of the local service transport: a listener on a Unix-domain socket and
// the connections it hands to its delegate, shaped like the platform's listener and its
// connections so the daemon's accept logic reads the same on every platform.
//
// Threading: the listener runs one background thread (its "service queue"). The delegate,
// the exported object's operations and the invalidation handlers all run there, never on
// the main queue. Replies may be called from any thread; each call's first reply is sent,
// later ones are ignored, and a reply dropped without being called frees its call slot
// without sending anything (the client's own time limit then ends the call).
//
// Defences (see docs/transport.md): frames above kMaxFrameBody or of length zero, and any
// malformed frame, close the connection; a frame must arrive whole within `stallSeconds`
// of its first byte and each reply must be taken by the peer within `stallSeconds`; at most
// `maxConnectionsPerUser` live connections per uid; at most `maxOutstandingCalls` calls per
// connection waiting for their reply to be written, after which the connection is not read
// until replies drain.

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "Platform/CodeSigning.h"
#include "QuellanServiceProtocol/ServiceProtocol.h"

namespace dravik::platform {

// One incoming connection, as the delegate sees it. Valid for the connection's life; the
// delegate may keep no reference past shouldAcceptNewConnection().
class IncomingConnection {
 public:
  IncomingConnection() = default;
  IncomingConnection(const IncomingConnection&) = delete;
  IncomingConnection& operator=(const IncomingConnection&) = delete;
  virtual ~IncomingConnection() = default;

  // The peer's effective uid and pid, from the socket's peer credentials at connect time.
  virtual uid_t effectiveUserIdentifier() const = 0;
  virtual pid_t processIdentifier() const = 0;
  // A pidfd for the peer process (borrowed; -1 when none could be had).
  virtual int pidfd() const = 0;
  // Pins the connection: before each later message the peer's code is checked against
  // `requirement`, and the connection is cut off when it does not hold.
  virtual void setCodeSigningRequirement(const std::string& requirement) = 0;
  virtual void setExportedObject(std::shared_ptr<quellan::QuellanSleepServiceProtocol> object) = 0;
  // Runs once, on the service thread, when an accepted connection ends for any reason.
  virtual void setInvalidationHandler(std::function<void()> handler) = 0;
  // Kept for symmetry with the platform; this transport never re-establishes a connection,
  // so it never calls it.
  virtual void setInterruptionHandler(std::function<void()> handler) = 0;
  // Starts reading messages. Must be called for an accepted connection to be served.
  virtual void resume() = 0;
};

class ServiceListenerDelegate {
 public:
  ServiceListenerDelegate() = default;
  ServiceListenerDelegate(const ServiceListenerDelegate&) = delete;
  ServiceListenerDelegate& operator=(const ServiceListenerDelegate&) = delete;
  virtual ~ServiceListenerDelegate() = default;

  // Called on the service thread for every connection that passed the transport's own
  // limits. Return false to refuse it (it is closed; no handler runs).
  virtual bool shouldAcceptNewConnection(IncomingConnection& connection) = 0;
};

class ServiceListener {
 public:
  struct Options {
    // The socket's directory must be owned by root. Tests that cannot run as root turn
    // this off; the directory must still not be writable by group or others.
    bool requireRootOwnedDirectory = true;
    std::size_t maxConnectionsPerUser = 16;
    std::size_t maxOutstandingCalls = 32;
    double stallSeconds = 10.0;
  };

  // Listens on serviceSocketPath(serviceName). Neither delegate nor codeSigning is owned;
  // both must outlive the listener. Nothing happens before resume().
  ServiceListener(const std::string& serviceName, ServiceListenerDelegate& delegate,
                  CodeSigning& codeSigning);
  ServiceListener(const std::string& serviceName, ServiceListenerDelegate& delegate,
                  CodeSigning& codeSigning, Options options);
  ServiceListener(const ServiceListener&) = delete;
  ServiceListener& operator=(const ServiceListener&) = delete;
  // Closes every connection (their invalidation handlers run), stops the thread and
  // removes the socket file.
  ~ServiceListener();

  // Creates the socket (directory made 0755 if missing and checked; a stale socket
  // removed; the new one made 0666 so users can connect) and starts serving. Throws
  // std::system_error on failure.
  void resume();

  const std::string& socketPath() const;

  // Live connections (accepted by the transport, including those being judged). Safe from
  // any thread; for tests and diagnostics.
  std::size_t connectionCount() const;

  // Internal; public only so the connections beside it can name it.
  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace dravik::platform
