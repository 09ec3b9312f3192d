#pragma once
// Listener: decides for every incoming connection whether it comes from an accepted
// client (the non-root user at the console, running one of our signed client programs),
// pins an accepted connection to the exact code that was validated, and exports a fresh
// ServiceEndpoint on it.
//
// Threading: shouldAcceptNewConnection() runs on the transport's service thread, never on
// the main queue; it touches no lease state (it only hands the shared lease and driver to
// the endpoint it makes). Nothing here is owned; all of it lives as long as the daemon.

#include "DravikSystem/Power.h"
#include "Platform/LocalService/ServiceListener.h"
#include "QuellanServiceAuth/ClientSignature.h"
#include "QuellanServiceCore/SleepLease.h"
#include "QuellanSleepService/DaemonServices.h"

namespace quellan {

class Listener : public dravik::platform::ServiceListenerDelegate {
 public:
  Listener(SleepLease& controller, dravik::PowerDriver& power, const DaemonServices& services,
           const SleepServiceClientAuthentication& authentication);

  bool shouldAcceptNewConnection(dravik::platform::IncomingConnection& connection) override;

 private:
  SleepLease& controller_;
  dravik::PowerDriver& power_;
  DaemonServices services_;
  const SleepServiceClientAuthentication& authentication_;
};

}  // namespace quellan
