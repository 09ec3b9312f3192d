#pragma once
// An in-memory service manager: one registration record per property-list name, an
// approval switch, failure switches, and unregistrations that complete when the test says.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/BundleLocation.h"
#include "Platform/ServiceManagement.h"
#include "Platform/Workspace.h"

namespace quellan::fakes {

class ServiceManagementFake : public dravik::platform::ServiceManagement {
 public:
  using ServiceStatus = dravik::platform::ServiceStatus;

  std::unique_ptr<dravik::platform::DaemonService> daemon(const std::string& plistName) override;
  void openSystemSettingsLoginItems() override { ++settingsOpened; }

  // The registration record of `plistName` (notRegistered when never set).
  ServiceStatus statusOf(const std::string& plistName) const;
  void setStatus(const std::string& plistName, ServiceStatus status);

  // Whether a successful registration needs the user's approval first.
  bool approvalRequired = true;
  // When set, registerService() throws with this description and changes nothing.
  std::optional<std::string> registerError;
  // When set, unregistering fails with this description and changes nothing.
  std::optional<std::string> unregisterError;
  int registerCalls = 0;
  int unregisterCalls = 0;
  int statusCalls = 0;
  int settingsOpened = 0;
  std::vector<std::string> plistNamesAsked;

  // Unregistrations not yet completed.
  size_t pendingUnregistrations() const { return pending_.size(); }
  // Completes the oldest outstanding unregistration.
  void completeUnregistration();

 private:
  class Daemon;
  std::map<std::string, ServiceStatus> records_;
  std::vector<std::pair<std::string, dravik::platform::DaemonService::UnregisterCompletion>>
      pending_;
};

class BundleLocationFake : public dravik::platform::BundleLocation {
 public:
  explicit BundleLocationFake(std::string path) : path(std::move(path)) {}
  std::string bundlePath() override { return path; }
  std::string path;
};

class WorkspaceFake : public dravik::platform::Workspace {
 public:
  void openFolder(const std::string& path) override { opened.push_back(path); }
  std::vector<std::string> opened;
};

}  // namespace quellan::fakes
