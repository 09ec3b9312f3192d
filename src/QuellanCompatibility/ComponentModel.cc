#include "QuellanCompatibility/ComponentModel.h"

#include <exception>
#include <utility>
#include <vector>

#include "QuellanServiceProtocol/ServiceProtocol.h"

namespace quellan {

namespace platform = dravik::platform;

bool isDirectlyInApplications(const std::string& bundlePath) {
  std::string path = bundlePath;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  return path.substr(0, slash) == "/Applications";
}

ComponentModel::ComponentModel(platform::MainQueue& mainQueue, platform::GlobalQueue& globalQueue,
                               platform::ServiceConnector& connector,
                               platform::ServiceManagement& serviceManagement,
                               platform::BundleLocation& bundle)
    : mainQueue_(mainQueue),
      serviceManagement_(serviceManagement),
      bundle_(bundle),
      self_(std::make_shared<ComponentModel*>(this)),
      client_(std::make_unique<dravik::CompatibilityClient>(mainQueue, globalQueue, connector)) {}

ComponentModel::~ComponentModel() {
  // Results already on their way find the model gone before the client is torn down.
  self_.reset();
}

bool ComponentModel::installed() const {
  return state_ == ServiceStatus::enabled || state_ == ServiceStatus::requiresApproval;
}

void ComponentModel::setLanguage(AppLanguage language) {
  language_ = language;
  notify(Field::language);
}

std::unique_ptr<platform::DaemonService> ComponentModel::daemon() {
  return serviceManagement_.daemon(CompatibilityService::plist());
}

void ComponentModel::refresh() {
  setState(daemon()->status());
  setReady(false);
  if (state_ != ServiceStatus::enabled) return;
  std::weak_ptr<ComponentModel*> weak = self_;
  client_->status([weak](dravik::Result<dravik::CompatibilityStatus> result) {
    auto alive = weak.lock();
    if (!alive) return;
    ComponentModel& model = **alive;
    if (!result.ok()) {
      model.setMessage(result.error().what());
      return;
    }
    bool pending = result.value().recoveryPending;
    model.setReady(!pending);
    model.setMessage(pending ? "兼容组件正在恢复睡眠，请保持开盖" : "兼容组件已就绪");
  });
}

void ComponentModel::install() {
  if (!isDirectlyInApplications(bundle_.bundlePath())) {
    setMessage("请先把兼容组件拖到应用程序文件夹");
    return;
  }
  try {
    daemon()->registerService();
    setMessage("请在系统设置中允许Quellan兼容组件");
  } catch (const std::exception& error) {
    // Registering again while approval is outstanding fails, yet the user's next step is
    // unchanged: keep what the window already says.
    if (daemon()->status() != ServiceStatus::requiresApproval) setMessage(error.what());
  }
  refresh();
}

void ComponentModel::remove() {
  setBusy(true);
  std::weak_ptr<ComponentModel*> weak = self_;
  client_->prepareForRemoval([weak](dravik::Result<dravik::Done> result) {
    auto alive = weak.lock();
    if (!alive) return;
    ComponentModel& model = **alive;
    if (!result.ok()) {
      model.setMessage(result.error().what());
      model.setBusy(false);
      return;
    }
    // Unregistering is its own step on the main queue, after this delivery has returned.
    model.mainQueue_.post([weak] {
      if (auto alive = weak.lock()) (*alive)->unregisterDaemon();
    });
  });
}

void ComponentModel::unregisterDaemon() {
  std::weak_ptr<ComponentModel*> weak = self_;
  platform::MainQueue& mainQueue = mainQueue_;
  daemon()->unregister([weak, &mainQueue](std::optional<std::string> error) {
    // The platform may answer on any thread; the model lives on the main queue.
    mainQueue.post([weak, error = std::move(error)] {
      auto alive = weak.lock();
      if (!alive) return;
      ComponentModel& model = **alive;
      model.setMessage(error ? *error : "睡眠已恢复，可以移除兼容组件");
      model.setBusy(false);
      model.refresh();
    });
  });
}

ComponentModel::ObserverId ComponentModel::observe(Observer observer) {
  ObserverId id = nextObserverId_++;
  observers_.emplace(id, std::move(observer));
  return id;
}

void ComponentModel::unobserve(ObserverId id) { observers_.erase(id); }

void ComponentModel::setBusy(bool value) {
  busy_ = value;
  notify(Field::busy);
}

void ComponentModel::setReady(bool value) {
  ready_ = value;
  notify(Field::ready);
}

void ComponentModel::setState(ServiceStatus value) {
  state_ = value;
  notify(Field::state);
}

void ComponentModel::setMessage(std::string value) {
  message_ = std::move(value);
  notify(Field::message);
}

void ComponentModel::notify(Field field) {
  // A copy, so an observer may come or go while being told.
  std::vector<Observer> observers;
  for (const auto& [id, observer] : observers_) observers.push_back(observer);
  for (const auto& observer : observers) observer(field);
}

}  // namespace quellan
