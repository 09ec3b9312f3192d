#include "QuellanSleepService/Listener.h"

#include <optional>

#include "QuellanSleepService/ServiceEndpoint.h"

namespace quellan {

Listener::Listener(SleepLease& controller, dravik::PowerDriver& power,
                   const DaemonServices& services,
                   const SleepServiceClientAuthentication& authentication)
    : controller_(controller),
      power_(power),
      services_(services),
      authentication_(authentication) {}

bool Listener::shouldAcceptNewConnection(dravik::platform::IncomingConnection& connection) {
  // Root is refused even at the console; with nobody at the console the console uid is 0,
  // so everyone is refused.
  std::uint32_t uid = connection.effectiveUserIdentifier();
  if (uid == 0 || uid != services_.console.consoleUid()) return false;

  std::optional<ClientSignature> signature;
  try {
    // The pidfd names the very process on the socket, even if its pid is reused.
    signature = connection.pidfd() >= 0
                    ? authentication_.authenticatePidfd(connection.pidfd())
                    : authentication_.authenticate(connection.processIdentifier());
  } catch (const ClientSignatureError&) {
    return false;  // refusals are neither logged nor reported
  }

  connection.setCodeSigningRequirement(signature->connectionRequirement());
  auto endpoint = ServiceEndpoint::make(uid, controller_, power_, services_);
  connection.setExportedObject(endpoint);
  auto ended = [endpoint] { endpoint->disconnected(); };
  connection.setInvalidationHandler(ended);
  connection.setInterruptionHandler(ended);
  connection.resume();
  return true;
}

}  // namespace quellan
