#include "Platform/Fake/FakeDisplays.h"

#include <algorithm>

namespace dravik::platform {

void FakeDisplays::setDisplays(std::vector<Display> displays) {
  std::lock_guard lock(mutex_);
  displays_ = std::move(displays);
}

void FakeDisplays::setCountCallResult(std::int32_t code) {
  std::lock_guard lock(mutex_);
  countResult_ = code;
}

void FakeDisplays::setListCallResult(std::int32_t code) {
  std::lock_guard lock(mutex_);
  listResult_ = code;
}

void FakeDisplays::setReportedCount(std::optional<std::uint32_t> count) {
  std::lock_guard lock(mutex_);
  reportedCount_ = count;
}

void FakeDisplays::setListedCount(std::optional<std::uint32_t> count) {
  std::lock_guard lock(mutex_);
  listedCount_ = count;
}

int FakeDisplays::countCalls() const {
  std::lock_guard lock(mutex_);
  return countCalls_;
}

int FakeDisplays::listCalls() const {
  std::lock_guard lock(mutex_);
  return listCalls_;
}

std::int32_t FakeDisplays::onlineDisplayList(std::uint32_t maxDisplays, std::uint32_t* ids,
                                             std::uint32_t* count) {
  std::lock_guard lock(mutex_);
  if (ids == nullptr) {
    ++countCalls_;
    if (countResult_ != 0) return countResult_;
    *count = reportedCount_.value_or(static_cast<std::uint32_t>(displays_.size()));
    return 0;
  }
  ++listCalls_;
  if (listResult_ != 0) return listResult_;
  const auto filled = std::min<std::size_t>(maxDisplays, displays_.size());
  for (std::size_t i = 0; i < filled; ++i) ids[i] = displays_[i].id;
  *count = listedCount_.value_or(static_cast<std::uint32_t>(filled));
  return 0;
}

bool FakeDisplays::isBuiltin(std::uint32_t id) {
  std::lock_guard lock(mutex_);
  for (const auto& display : displays_) {
    if (display.id == id) return display.builtin;
  }
  return false;
}

}  // namespace dravik::platform
