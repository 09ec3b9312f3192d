#pragma once
// Queues that run nothing until the test says so, on the test's own thread.

#include <deque>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "Platform/GlobalQueue.h"
#include "Platform/MainQueue.h"

namespace quellan::fakes {

class ManualMainQueue : public dravik::platform::MainQueue {
 public:
  void post(std::function<void()> work) override {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(work));
  }

  // Runs queued work, including work posted meanwhile, until the queue is empty. Returns
  // how many items ran.
  int runAll() {
    int count = 0;
    while (runOne()) ++count;
    return count;
  }

  bool runOne() {
    std::function<void()> work;
    {
      std::lock_guard lock(mutex_);
      if (work_.empty()) return false;
      work = std::move(work_.front());
      work_.pop_front();
    }
    work();
    return true;
  }

  size_t pending() const {
    std::lock_guard lock(mutex_);
    return work_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::deque<std::function<void()>> work_;
};

// Delayed work waits until the test moves this queue's time past its deadline.
class ManualGlobalQueue : public dravik::platform::GlobalQueue {
 public:
  void postAfter(double seconds, std::function<void()> work) override {
    std::lock_guard lock(mutex_);
    timers_.push_back({now_ + seconds, std::move(work)});
  }

  // Moves time on by `seconds` and runs, in deadline order, whatever fell due.
  void advance(double seconds) {
    double until;
    {
      std::lock_guard lock(mutex_);
      now_ += seconds;
      until = now_;
    }
    for (;;) {
      std::function<void()> work;
      {
        std::lock_guard lock(mutex_);
        auto due = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it) {
          if (it->deadline <= until && (due == timers_.end() || it->deadline < due->deadline))
            due = it;
        }
        if (due == timers_.end()) return;
        work = std::move(due->work);
        timers_.erase(due);
      }
      work();
    }
  }

  std::vector<double> deadlines() const {
    std::lock_guard lock(mutex_);
    std::vector<double> result;
    for (const auto& timer : timers_) result.push_back(timer.deadline);
    return result;
  }

 private:
  struct Timer {
    double deadline;
    std::function<void()> work;
  };
  mutable std::mutex mutex_;
  double now_ = 0;
  std::vector<Timer> timers_;
};

}  // namespace quellan::fakes
