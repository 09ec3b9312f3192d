#include "Platform/Fake/FakePowerRegistry.h"

namespace dravik::platform {

void FakePowerRegistry::setMatchFails(bool fails) {
  std::lock_guard lock(mutex_);
  matchFails_ = fails;
}

void FakePowerRegistry::setOpenResult(std::int32_t code) {
  std::lock_guard lock(mutex_);
  openResult_ = code;
}

void FakePowerRegistry::setProperty(const std::string& name, PropertyValue value) {
  std::lock_guard lock(mutex_);
  properties_[name] = std::move(value);
}

void FakePowerRegistry::removeProperty(const std::string& name) {
  std::lock_guard lock(mutex_);
  properties_.erase(name);
}

void FakePowerRegistry::setPropertyAfterReads(const std::string& name,
                                              std::optional<PropertyValue> value, int reads) {
  std::lock_guard lock(mutex_);
  pending_[name] = PendingChange{std::move(value), reads};
}

int FakePowerRegistry::matchCalls() const {
  std::lock_guard lock(mutex_);
  return matchCalls_;
}

int FakePowerRegistry::openCalls() const {
  std::lock_guard lock(mutex_);
  return openCalls_;
}

std::vector<std::uint32_t> FakePowerRegistry::closedConnections() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

std::vector<std::uint32_t> FakePowerRegistry::releasedServices() const {
  std::lock_guard lock(mutex_);
  return released_;
}

int FakePowerRegistry::propertyReads(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto found = reads_.find(name);
  return found == reads_.end() ? 0 : found->second;
}

std::vector<std::string> FakePowerRegistry::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::uint32_t FakePowerRegistry::matchRootDomain() {
  std::lock_guard lock(mutex_);
  ++matchCalls_;
  calls_.push_back("match");
  return matchFails_ ? 0 : kRootService;
}

std::int32_t FakePowerRegistry::open(std::uint32_t service, std::uint32_t* connection) {
  std::lock_guard lock(mutex_);
  ++openCalls_;
  calls_.push_back("open");
  if (service != kRootService) return static_cast<std::int32_t>(0xe00002c2);  // bad argument
  if (openResult_ != 0) return openResult_;
  *connection = kConnection;
  return 0;
}

void FakePowerRegistry::close(std::uint32_t connection) {
  std::lock_guard lock(mutex_);
  calls_.push_back("close");
  closed_.push_back(connection);
}

void FakePowerRegistry::release(std::uint32_t service) {
  std::lock_guard lock(mutex_);
  calls_.push_back("release");
  released_.push_back(service);
}

std::optional<PropertyValue> FakePowerRegistry::property(std::uint32_t service,
                                                         const std::string& name) {
  std::lock_guard lock(mutex_);
  calls_.push_back("property " + name);
  ++reads_[name];
  if (service != kRootService) return std::nullopt;
  std::optional<PropertyValue> value;
  if (auto found = properties_.find(name); found != properties_.end()) value = found->second;
  if (auto pending = pending_.find(name); pending != pending_.end()) {
    if (--pending->second.readsLeft <= 0) {
      if (pending->second.value) {
        properties_[name] = *pending->second.value;
      } else {
        properties_.erase(name);
      }
      pending_.erase(pending);
    }
  }
  return value;
}

}  // namespace dravik::platform
