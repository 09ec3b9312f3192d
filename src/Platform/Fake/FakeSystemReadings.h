#pragma once
// In-memory thermal state, console user and running-application list for unit tests.
// Each holds one value that a test sets; all are thread-safe.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Platform/SystemReadings.h"

namespace dravik::platform {

// Nominal (0) until set.
class FakeThermalState : public ThermalState {
 public:
  explicit FakeThermalState(int state = 0) : state_(state) {}
  void set(int state) { state_ = state; }
  int thermalState() override { return state_; }

 private:
  std::atomic<int> state_;
};

// Nobody (0) at the console until set.
class FakeConsoleUser : public ConsoleUser {
 public:
  explicit FakeConsoleUser(std::uint32_t uid = 0) : uid_(uid) {}
  void set(std::uint32_t uid) { uid_ = uid; }
  std::uint32_t consoleUid() override { return uid_; }

 private:
  std::atomic<std::uint32_t> uid_;
};

// Nothing runs until setRunning(bundleIdentifier, true). Records every identifier asked.
class FakeRunningApplications : public RunningApplications {
 public:
  void setRunning(const std::string& bundleIdentifier, bool running) {
    std::lock_guard lock(mutex_);
    if (running) {
      running_.insert(bundleIdentifier);
    } else {
      running_.erase(bundleIdentifier);
    }
  }
  std::vector<std::string> queries() const {
    std::lock_guard lock(mutex_);
    return queries_;
  }
  bool isRunning(const std::string& bundleIdentifier) override {
    std::lock_guard lock(mutex_);
    queries_.push_back(bundleIdentifier);
    return running_.count(bundleIdentifier) != 0;
  }

 private:
  mutable std::mutex mutex_;
  std::set<std::string> running_;
  std::vector<std::string> queries_;
};

}  // namespace dravik::platform
