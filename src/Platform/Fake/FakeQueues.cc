#include "Platform/Fake/FakeQueues.h"

#include <algorithm>

namespace dravik::platform {

void FakeMainQueue::post(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(work));
  ++posted_;
}

bool FakeMainQueue::runOne() {
  std::function<void()> work;
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return false;
    work = std::move(queue_.front());
    queue_.pop_front();
  }
  if (work) work();
  return true;
}

std::size_t FakeMainQueue::runAll() {
  std::size_t ran = 0;
  while (runOne()) ++ran;
  return ran;
}

std::size_t FakeMainQueue::pending() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

std::size_t FakeMainQueue::posted() const {
  std::lock_guard lock(mutex_);
  return posted_;
}

void FakeGlobalQueue::postAfter(double seconds, std::function<void()> work) {
  std::lock_guard lock(mutex_);
  delays_.push_back(seconds);
  items_.push_back(Item{now_ + std::max(seconds, 0.0), nextOrder_++, std::move(work)});
}

std::size_t FakeGlobalQueue::advance(double seconds) {
  double until = 0;
  {
    std::lock_guard lock(mutex_);
    until = now_ + std::max(seconds, 0.0);
  }
  return runDue(until, false);
}

std::size_t FakeGlobalQueue::runAll() { return runDue(0, true); }

std::size_t FakeGlobalQueue::runDue(double until, bool everything) {
  std::size_t ran = 0;
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard lock(mutex_);
      auto next = std::min_element(items_.begin(), items_.end(), [](const Item& a, const Item& b) {
        return a.due != b.due ? a.due < b.due : a.order < b.order;
      });
      if (next == items_.end() || (!everything && next->due > until)) {
        if (!everything) now_ = std::max(now_, until);
        return ran;
      }
      now_ = std::max(now_, next->due);
      work = std::move(next->work);
      items_.erase(next);
    }
    if (work) work();
    ++ran;
  }
}

std::size_t FakeGlobalQueue::pending() const {
  std::lock_guard lock(mutex_);
  return items_.size();
}

double FakeGlobalQueue::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

std::vector<double> FakeGlobalQueue::delays() const {
  std::lock_guard lock(mutex_);
  return delays_;
}

}  // namespace dravik::platform
