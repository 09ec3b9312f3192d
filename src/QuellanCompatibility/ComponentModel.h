#pragma once
// The companion app's whole logic: registers the sleep service daemon, asks it whether it
// is ready, and has it restore sleep before unregistering it.
//
// Situations, as (state, ready):
//   not installed      notRegistered/notFound, false   install() registers
//   awaiting approval  requiresApproval, false         the user approves, refresh()
//   connecting         enabled, false                  the status reply decides
//   restore pending    enabled, false (message says)   a later refresh()
//   ready              enabled, true                   remove(), or a failing refresh()
//   removing           any, busy                       the end of remove()
// Every refresh() first clears `ready`, so an enabled daemon shows "connecting" until it
// answers (within the client's 6-second limit).
//
// Messages are kept as the system produces them (Chinese texts, or a platform error's
// description); the window translates them with `language`.
//
// Runs on the main queue only; nothing is locked. Results of the client and of the
// platform arrive on the main queue and hold the model weakly: a model destroyed before a
// result is not touched by it.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "DravikSystem/CompatibilityClient.h"
#include "Platform/BundleLocation.h"
#include "Platform/GlobalQueue.h"
#include "Platform/MainQueue.h"
#include "Platform/ServiceConnection.h"
#include "Platform/ServiceManagement.h"
#include "QuellanCompatibility/Texts.h"

namespace quellan {

// True when the folder that directly holds the bundle at `bundlePath` is exactly
// "/Applications" (a trailing slash on the bundle's path is ignored).
bool isDirectlyInApplications(const std::string& bundlePath);

class ComponentModel {
 public:
  using ServiceStatus = dravik::platform::ServiceStatus;
  enum class Field { busy, ready, state, message, language };
  // Told after every assignment to an observable field, even when the value is unchanged.
  using Observer = std::function<void(Field)>;
  using ObserverId = int;

  // None of the platform objects is owned; all must outlive the model and any result
  // still outstanding. The model makes and owns its one client.
  ComponentModel(dravik::platform::MainQueue& mainQueue, dravik::platform::GlobalQueue& globalQueue,
                 dravik::platform::ServiceConnector& connector,
                 dravik::platform::ServiceManagement& serviceManagement,
                 dravik::platform::BundleLocation& bundle);
  ComponentModel(const ComponentModel&) = delete;
  ComponentModel& operator=(const ComponentModel&) = delete;
  ~ComponentModel();

  bool busy() const { return busy_; }
  bool ready() const { return ready_; }
  ServiceStatus state() const { return state_; }
  const std::string& message() const { return message_; }
  AppLanguage language() const { return language_; }
  // The daemon is registered, approved or not.
  bool installed() const;

  void setLanguage(AppLanguage language);

  // Reads the registration state; when enabled, asks the daemon whether it is ready.
  void refresh();
  // Registers the daemon, but only when the app runs directly from "/Applications".
  void install();
  // Has the daemon restore sleep, then unregisters it. The caller keeps a second removal
  // from starting while `busy` (the window disables its buttons).
  void remove();

  ObserverId observe(Observer observer);
  void unobserve(ObserverId id);

 private:
  void setBusy(bool value);
  void setReady(bool value);
  void setState(ServiceStatus value);
  void setMessage(std::string value);
  void notify(Field field);
  void unregisterDaemon();
  std::unique_ptr<dravik::platform::DaemonService> daemon();

  dravik::platform::MainQueue& mainQueue_;
  dravik::platform::ServiceManagement& serviceManagement_;
  dravik::platform::BundleLocation& bundle_;
  bool busy_ = false;
  bool ready_ = false;
  ServiceStatus state_ = ServiceStatus::notRegistered;
  std::string message_;
  AppLanguage language_ = AppLanguage::system;
  std::map<ObserverId, Observer> observers_;
  ObserverId nextObserverId_ = 1;
  // What completions hold instead of the model: expired once the model is gone.
  std::shared_ptr<ComponentModel*> self_;
  // Last, so it goes first: its outstanding calls end while the rest is still intact.
  std::unique_ptr<dravik::CompatibilityClient> client_;
};

}  // namespace quellan
