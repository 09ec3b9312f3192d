#pragma once
// The one serial queue a program's main thread serves. Work posted here runs later, in
// the order posted, never inside post() itself.

#include <functional>

namespace dravik::platform {

class MainQueue {
 public:
  MainQueue() = default;
  MainQueue(const MainQueue&) = delete;
  MainQueue& operator=(const MainQueue&) = delete;
  virtual ~MainQueue() = default;

  // Thread-safe. Never runs `work` before returning.
  virtual void post(std::function<void()> work) = 0;
};

}  // namespace dravik::platform
