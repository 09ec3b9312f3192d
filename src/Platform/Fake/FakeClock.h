#pragma once
// A manual clock for unit tests: time moves only when a test says so. sleepFor() does not
// block; it moves the clock forward by the time asked, records it and then calls the sleep
// hook, so a polling loop under test runs to its end at once.
//
//   FakeClock clock;                 // both clocks at 0
//   clock.advance(2.5);              // both clocks move 2.5 s
//   clock.setSleepHook([&](double uptime) { if (uptime >= 0.3) registry.setProperty(...); });
//
// Thread-safe; the hook runs on the thread that called sleepFor(), outside the lock.

#include <functional>
#include <mutex>
#include <vector>

#include "Platform/Clock.h"

namespace dravik::platform {

class FakeClock : public Clock {
 public:
  explicit FakeClock(double uptime = 0.0, double continuous = 0.0)
      : uptime_(uptime), continuous_(continuous) {}

  // Moves both clocks forward by `seconds`.
  void advance(double seconds) {
    std::lock_guard lock(mutex_);
    uptime_ += seconds;
    continuous_ += seconds;
  }
  // Called after every sleepFor() with the uptime reached.
  void setSleepHook(std::function<void(double uptime)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
  }
  // Every duration passed to sleepFor(), in order.
  std::vector<double> sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
  }

  double continuousSeconds() override {
    std::lock_guard lock(mutex_);
    return continuous_;
  }
  double uptimeSeconds() override {
    std::lock_guard lock(mutex_);
    return uptime_;
  }
  void sleepFor(double seconds) override {
    std::function<void(double)> hook;
    double reached = 0;
    {
      std::lock_guard lock(mutex_);
      sleeps_.push_back(seconds);
      uptime_ += seconds;
      continuous_ += seconds;
      reached = uptime_;
      hook = hook_;
    }
    if (hook) hook(reached);
  }

 private:
  mutable std::mutex mutex_;
  double uptime_;
  double continuous_;
  std::function<void(double)> hook_;
  std::vector<double> sleeps_;
};

}  // namespace dravik::platform
