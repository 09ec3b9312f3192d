#include "QuellanSleepService/ServiceEndpoint.h"

#include <exception>
#include <utility>

#include "QuellanServiceCore/ServiceFailure.h"

namespace quellan {

using dravik::platform::LogLevel;

std::shared_ptr<ServiceEndpoint> ServiceEndpoint::make(std::uint32_t uid, SleepLease& controller,
                                                       dravik::PowerDriver& power,
                                                       const DaemonServices& services) {
  return std::shared_ptr<ServiceEndpoint>(new ServiceEndpoint(uid, controller, power, services));
}

ServiceEndpoint::ServiceEndpoint(std::uint32_t uid, SleepLease& controller,
                                 dravik::PowerDriver& power, const DaemonServices& services)
    : id_(Uuid::random()), uid_(uid), controller_(controller), power_(power), services_(services) {}

bool ServiceEndpoint::consoleUserMatches() {
  return uid_ != 0 && uid_ == services_.console.consoleUid();
}

bool ServiceEndpoint::safe() {
  if (!batterySafe(dravik::batteryReading(services_.powerSources))) return false;
  if (!thermalStateSafe(services_.thermal.thermalState())) return false;
  try {
    return dravik::externalDisplayCount(services_.displays) == 0;
  } catch (const std::exception&) {
    return false;
  }
}

void ServiceEndpoint::perform(CommandReply reply, std::function<void()> operation) {
  services_.mainQueue.post(
      [self = shared_from_this(), reply = std::move(reply), operation = std::move(operation)] {
        std::string description;
        try {
          operation();
          reply(true, std::nullopt);
          return;
        } catch (const std::exception& error) {
          description = error.what();
        } catch (...) {
          description = "unknown failure";
        }
        self->services_.logger.log(LogLevel::kError, "Service operation: %{public}s", description);
        reply(false, description);
      });
}

void ServiceEndpoint::status(StatusReply reply) {
  services_.mainQueue.post([self = shared_from_this(), reply = std::move(reply)] {
    reply(CompatibilityService::version, self->controller_.active(),
          self->controller_.recoveryPending());
  });
}

void ServiceEndpoint::beginSession(std::int64_t minutes, CommandReply reply) {
  perform(std::move(reply), [this, minutes] {
    if (!consoleUserMatches() || !safe()) throw ServiceFailure(kBeginRefusal);
    // Only a lid known to be open will do; an unreadable lid counts as closed.
    if (power_.boolProperty("AppleClamshellState") != std::optional<bool>(false)) {
      throw ServiceFailure(kBeginRefusal);
    }
    controller_.begin(id_, minutes, services_.clock.now(), false);
    services_.logger.log(LogLevel::kDefault,
                         "Session began; original system sleep setting journaled");
  });
}

void ServiceEndpoint::renewSession(CommandReply reply) {
  perform(std::move(reply), [this] {
    // The lid is not consulted: renewing with the lid closed is the normal case.
    if (consoleUserMatches() && safe()) {
      controller_.renew(id_, services_.clock.now());
      return;
    }
    controller_.end(id_);
    throw ServiceFailure(kRenewRefusal);
  });
}

void ServiceEndpoint::endSession(CommandReply reply) {
  perform(std::move(reply), [this] { controller_.end(id_); });
}

void ServiceEndpoint::prepareForRemoval(CommandReply reply) {
  perform(std::move(reply), [this] { controller_.pauseAndRestore(); });
}

void ServiceEndpoint::disconnected() {
  services_.mainQueue.post([self = shared_from_this()] {
    try {
      self->controller_.end(self->id_);
    } catch (const std::exception& error) {
      self->services_.logger.log(LogLevel::kError, "Disconnect recovery pending: %{public}s",
                                 error.what());
    }
  });
}

}  // namespace quellan
