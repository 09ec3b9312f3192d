#pragma once
// The window over a model over fakes, brought into one of the model's situations. Shared
// by the window's tests and the screenshot program.

#include <memory>
#include <string>

#include "QuellanCompatibility/CompatibilityWindow.h"
#include "QuellanCompatibility/ComponentModel.h"
#include "QuellanCompatibility/fakes/ManualQueues.h"
#include "QuellanCompatibility/fakes/ServiceConnectorFake.h"
#include "QuellanCompatibility/fakes/ServiceManagementFake.h"
#include "QuellanServiceProtocol/ServiceProtocol.h"

namespace quellan::fakes {

enum class Situation {
  notInstalled,
  notFound,
  awaitingApproval,
  connecting,
  restorePending,
  statusFailed,
  ready,
};

inline const char* situationName(Situation situation) {
  switch (situation) {
    case Situation::notInstalled:
      return "not-installed";
    case Situation::notFound:
      return "not-found";
    case Situation::awaitingApproval:
      return "awaiting-approval";
    case Situation::connecting:
      return "connecting";
    case Situation::restorePending:
      return "restore-pending";
    case Situation::statusFailed:
      return "status-failed";
    case Situation::ready:
      return "ready";
  }
  return "?";
}

inline constexpr const char* kInsideApplications = "/Applications/Quellan Compatibility.app";
inline constexpr const char* kOutsideApplications = "/Users/me/Downloads/Quellan Compatibility.app";

struct CompanionStage {
  using ServiceStatus = dravik::platform::ServiceStatus;

  // Shows the window (which refreshes the model) and answers the daemon's status call as
  // the situation asks.
  CompanionStage(Situation situation, bool inApplications, AppLanguage language)
      : bundle(inApplications ? kInsideApplications : kOutsideApplications) {
    services.setStatus(plist(), statusFor(situation));
    model = std::make_unique<ComponentModel>(mainQueue, globalQueue, connector, services, bundle);
    window = std::make_unique<CompatibilityWindow>(*model, bundle, workspace, services);
    model->setLanguage(language);
    window->show();
    switch (situation) {
      case Situation::restorePending:
        connector.answerStatus({1, true, true});
        break;
      case Situation::statusFailed:
        globalQueue.advance(6);
        break;
      case Situation::ready:
        connector.answerStatus({1, false, false});
        break;
      default:
        break;
    }
    mainQueue.runAll();
  }

  static ServiceStatus statusFor(Situation situation) {
    switch (situation) {
      case Situation::notInstalled:
        return ServiceStatus::notRegistered;
      case Situation::notFound:
        return ServiceStatus::notFound;
      case Situation::awaitingApproval:
        return ServiceStatus::requiresApproval;
      default:
        return ServiceStatus::enabled;
    }
  }

  static const std::string& plist() { return CompatibilityService::plist(); }

  ManualMainQueue mainQueue;
  ManualGlobalQueue globalQueue;
  ServiceConnectorFake connector;
  ServiceManagementFake services;
  BundleLocationFake bundle;
  WorkspaceFake workspace;
  std::unique_ptr<ComponentModel> model;
  std::unique_ptr<CompatibilityWindow> window;
};

}  // namespace quellan::fakes
