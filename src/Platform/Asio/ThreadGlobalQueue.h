#pragma once
// The global queue: one timer thread that runs delayed work in deadline order. Work is
// meant to be short (time limits hand their result on to the main queue).
//
// Destruction stops the thread and joins it; work not yet due is dropped unrun.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "Platform/GlobalQueue.h"

namespace dravik::platform {

class ThreadGlobalQueue : public GlobalQueue {
 public:
  ThreadGlobalQueue();
  ~ThreadGlobalQueue() override;

  void postAfter(double seconds, std::function<void()> work) override;

 private:
  using Clock = std::chrono::steady_clock;
  void run();

  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::uint64_t sequence_ = 0;  // keeps equal deadlines in submission order
  std::map<std::pair<Clock::time_point, std::uint64_t>, std::function<void()>> work_;
  std::thread thread_;
};

}  // namespace dravik::platform
