#pragma once
// Queues that run work only when a test drains them, on the test's own thread.
//
//   FakeMainQueue main;
//   main.post(work);          // from any thread; nothing runs yet
//   main.runAll();            // runs it (and whatever it posts) here, in order
//
//   FakeGlobalQueue global;
//   global.postAfter(6.0, timeout);
//   global.advance(5.9);      // nothing due yet
//   global.advance(0.1);      // runs `timeout`
//
// post()/postAfter() are thread-safe; drain from one thread at a time. Work runs outside
// the queue's lock, so it may post more work.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "Platform/GlobalQueue.h"
#include "Platform/MainQueue.h"

namespace dravik::platform {

class FakeMainQueue : public MainQueue {
 public:
  void post(std::function<void()> work) override;

  // Runs the oldest pending work item; false when there was none.
  bool runOne();
  // Runs work until the queue is empty, including work posted meanwhile. Returns how many
  // items ran.
  std::size_t runAll();
  std::size_t pending() const;
  // How many items were ever posted.
  std::size_t posted() const;

 private:
  mutable std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
  std::size_t posted_ = 0;
};

class FakeGlobalQueue : public GlobalQueue {
 public:
  // The queue's own time starts at 0 and moves only through advance().
  void postAfter(double seconds, std::function<void()> work) override;

  // Moves the queue's time forward and runs, in order of due time (then of posting),
  // every item that has become due, including items posted meanwhile that are due by
  // the new time. Returns how many items ran.
  std::size_t advance(double seconds);
  // Runs every pending item whatever its delay (time jumps to the last one's due time).
  std::size_t runAll();
  std::size_t pending() const;
  double now() const;
  // The delays passed to postAfter(), in order.
  std::vector<double> delays() const;

 private:
  struct Item {
    double due = 0;
    std::uint64_t order = 0;
    std::function<void()> work;
  };
  std::size_t runDue(double until, bool everything);

  mutable std::mutex mutex_;
  double now_ = 0;
  std::uint64_t nextOrder_ = 0;
  std::vector<Item> items_;
  std::vector<double> delays_;
};

}  // namespace dravik::platform
