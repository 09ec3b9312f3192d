#pragma once
// A concurrent background queue with delayed submission (used for time limits).

#include <functional>

namespace dravik::platform {

class GlobalQueue {
 public:
  GlobalQueue() = default;
  GlobalQueue(const GlobalQueue&) = delete;
  GlobalQueue& operator=(const GlobalQueue&) = delete;
  virtual ~GlobalQueue() = default;

  // Thread-safe. Runs `work` on some background thread about `seconds` from now. Work
  // already submitted runs even if the submitter is gone, so it must hold what it needs.
  virtual void postAfter(double seconds, std::function<void()> work) = 0;
};

}  // namespace dravik::platform
