#include "Platform/Asio/ThreadGlobalQueue.h"

#include <algorithm>

namespace dravik::platform {

ThreadGlobalQueue::ThreadGlobalQueue() : thread_([this] { run(); }) {}

ThreadGlobalQueue::~ThreadGlobalQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void ThreadGlobalQueue::postAfter(double seconds, std::function<void()> work) {
  if (!(seconds > 0)) seconds = 0;  // also NaN
  auto delay = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(std::min(seconds, 1e9)));
  {
    std::lock_guard lock(mutex_);
    work_.emplace(std::pair(Clock::now() + delay, sequence_++), std::move(work));
  }
  changed_.notify_all();
}

void ThreadGlobalQueue::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (work_.empty()) {
      changed_.wait(lock);
      continue;
    }
    auto first = work_.begin();
    if (first->first.first > Clock::now()) {
      changed_.wait_until(lock, first->first.first);
      continue;
    }
    auto work = std::move(first->second);
    work_.erase(first);
    lock.unlock();
    work();
    work = nullptr;  // release what the work held outside the lock
    lock.lock();
  }
}

}  // namespace dravik::platform
