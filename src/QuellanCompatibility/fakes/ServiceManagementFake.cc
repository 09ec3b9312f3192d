#include "QuellanCompatibility/fakes/ServiceManagementFake.h"

#include <stdexcept>
#include <utility>

namespace quellan::fakes {

namespace platform = dravik::platform;

class ServiceManagementFake::Daemon : public platform::DaemonService {
 public:
  Daemon(ServiceManagementFake& owner, std::string plistName)
      : owner_(owner), plistName_(std::move(plistName)) {}

  ServiceStatus status() override {
    ++owner_.statusCalls;
    return owner_.statusOf(plistName_);
  }

  void registerService() override {
    ++owner_.registerCalls;
    if (owner_.registerError) throw std::runtime_error(*owner_.registerError);
    if (owner_.statusOf(plistName_) != ServiceStatus::enabled) {
      owner_.setStatus(plistName_, owner_.approvalRequired ? ServiceStatus::requiresApproval
                                                           : ServiceStatus::enabled);
    }
  }

  void unregister(UnregisterCompletion completion) override {
    ++owner_.unregisterCalls;
    owner_.pending_.emplace_back(plistName_, std::move(completion));
  }

 private:
  ServiceManagementFake& owner_;
  std::string plistName_;
};

std::unique_ptr<platform::DaemonService> ServiceManagementFake::daemon(
    const std::string& plistName) {
  plistNamesAsked.push_back(plistName);
  return std::make_unique<Daemon>(*this, plistName);
}

ServiceManagementFake::ServiceStatus ServiceManagementFake::statusOf(
    const std::string& plistName) const {
  auto found = records_.find(plistName);
  return found == records_.end() ? ServiceStatus::notRegistered : found->second;
}

void ServiceManagementFake::setStatus(const std::string& plistName, ServiceStatus status) {
  records_[plistName] = status;
}

void ServiceManagementFake::completeUnregistration() {
  if (pending_.empty()) throw std::logic_error("no unregistration is outstanding");
  auto [plistName, completion] = std::move(pending_.front());
  pending_.erase(pending_.begin());
  if (unregisterError) {
    completion(*unregisterError);
    return;
  }
  setStatus(plistName, ServiceStatus::notRegistered);
  completion(std::nullopt);
}

}  // namespace quellan::fakes
