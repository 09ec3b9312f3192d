#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "Platform/Asio/AsioMainQueue.h"
#include "Platform/Asio/ThreadGlobalQueue.h"

namespace dravik::platform {
namespace {

using namespace std::chrono_literals;

TEST(AsioMainQueueTest, RunsWorkLaterInOrderOnTheThreadRunningTheLoop) {
  asio::io_context io;
  AsioMainQueue queue(io);
  std::vector<int> order;
  std::thread::id ranOn;
  queue.post([&] { order.push_back(1); });
  std::thread other([&] { queue.post([&] { order.push_back(2); }); });
  other.join();
  queue.post([&] {
    order.push_back(3);
    ranOn = std::this_thread::get_id();
  });
  EXPECT_TRUE(order.empty());
  io.run();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(ThreadGlobalQueueTest, RunsDelayedWorkOnItsOwnThreadInDeadlineOrder) {
  ThreadGlobalQueue queue;
  std::promise<std::vector<int>> done;
  auto order = std::make_shared<std::vector<int>>();
  std::thread::id ranOn;
  queue.postAfter(0.05, [order, &done] {
    order->push_back(2);
    done.set_value(*order);
  });
  queue.postAfter(0, [order, &ranOn] {
    order->push_back(1);
    ranOn = std::this_thread::get_id();
  });
  auto future = done.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(future.get(), (std::vector<int>{1, 2}));
  EXPECT_NE(ranOn, std::this_thread::get_id());
}

TEST(ThreadGlobalQueueTest, DestructionJoinsAndDropsWorkNotYetDue) {
  auto ran = std::make_shared<std::atomic<bool>>(false);
  auto held = std::make_shared<int>(0);
  {
    ThreadGlobalQueue queue;
    queue.postAfter(3600, [ran, held] { *ran = true; });
  }
  EXPECT_FALSE(*ran);
  EXPECT_EQ(held.use_count(), 1);  // the dropped work released what it held
}

}  // namespace
}  // namespace dravik::platform
