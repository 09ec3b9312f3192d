#include "Platform/Fake/FakePowerAssertions.h"

namespace dravik::platform {

void FakePowerAssertions::setCreateResult(std::int32_t code) {
  std::lock_guard lock(mutex_);
  createResult_ = code;
}

void FakePowerAssertions::setSetPropertyResult(std::int32_t code) {
  std::lock_guard lock(mutex_);
  setPropertyResult_ = code;
}

void FakePowerAssertions::setReleaseResult(std::int32_t code) {
  std::lock_guard lock(mutex_);
  releaseResult_ = code;
}

void FakePowerAssertions::lapse(std::uint32_t id) {
  std::lock_guard lock(mutex_);
  live_.erase(id);
}

std::vector<FakePowerAssertions::Call> FakePowerAssertions::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::uint32_t> FakePowerAssertions::liveIds() {
  std::lock_guard lock(mutex_);
  expireLocked();
  std::vector<std::uint32_t> ids;
  for (const auto& [id, live] : live_) ids.push_back(id);
  return ids;
}

std::optional<AssertionProperties> FakePowerAssertions::properties(std::uint32_t id) {
  std::lock_guard lock(mutex_);
  expireLocked();
  auto found = live_.find(id);
  if (found == live_.end()) return std::nullopt;
  return found->second.properties;
}

std::int32_t FakePowerAssertions::create(const AssertionProperties& properties, std::uint32_t* id) {
  std::lock_guard lock(mutex_);
  expireLocked();
  Call call{"create", 0, properties, {}, {}, createResult_};
  if (createResult_ == 0) {
    call.id = nextId_++;
    live_[call.id] = Live{properties, deadlineLocked(properties)};
    *id = call.id;
  }
  calls_.push_back(call);
  return call.result;
}

std::int32_t FakePowerAssertions::setProperty(std::uint32_t id, const std::string& key,
                                              const AssertionValue& value) {
  std::lock_guard lock(mutex_);
  expireLocked();
  std::int32_t result = setPropertyResult_;
  if (result == 0) {
    auto found = live_.find(id);
    if (found == live_.end()) {
      result = kNotFound;
    } else {
      found->second.properties[key] = value;
      if (key == "TimeoutSeconds")
        found->second.deadline = deadlineLocked(found->second.properties);
    }
  }
  calls_.push_back(Call{"setProperty", id, {}, key, value, result});
  return result;
}

std::int32_t FakePowerAssertions::release(std::uint32_t id) {
  std::lock_guard lock(mutex_);
  expireLocked();
  std::int32_t result = releaseResult_;
  if (result == 0) result = live_.erase(id) == 1 ? 0 : kNotFound;
  calls_.push_back(Call{"release", id, {}, {}, {}, result});
  return result;
}

bool FakePowerAssertions::exists(std::uint32_t id) {
  std::lock_guard lock(mutex_);
  expireLocked();
  const bool found = live_.count(id) != 0;
  calls_.push_back(Call{"exists", id, {}, {}, {}, found ? 1 : 0});
  return found;
}

void FakePowerAssertions::expireLocked() {
  if (clock_ == nullptr) return;
  const double now = clock_->uptimeSeconds();
  std::erase_if(live_, [now](const auto& entry) {
    return entry.second.deadline && now >= *entry.second.deadline;
  });
}

std::optional<double> FakePowerAssertions::deadlineLocked(
    const AssertionProperties& properties) const {
  if (clock_ == nullptr) return std::nullopt;
  auto action = properties.find("TimeoutAction");
  auto timeout = properties.find("TimeoutSeconds");
  if (action == properties.end() || timeout == properties.end()) return std::nullopt;
  const auto* actionText = std::get_if<std::string>(&action->second);
  if (actionText == nullptr || *actionText != "TimeoutActionRelease") return std::nullopt;
  double seconds = 0;
  if (const auto* real = std::get_if<double>(&timeout->second)) {
    seconds = *real;
  } else if (const auto* whole = std::get_if<std::int64_t>(&timeout->second)) {
    seconds = static_cast<double>(*whole);
  } else {
    return std::nullopt;
  }
  if (seconds <= 0) return std::nullopt;
  return clock_->uptimeSeconds() + seconds;
}

}  // namespace dravik::platform
