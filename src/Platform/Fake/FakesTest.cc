// The fakes are shared by every module's tests; these pin the behaviour they promise.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Platform/Fake/CapturingLogSink.h"
#include "Platform/Fake/FakeClock.h"
#include "Platform/Fake/FakePowerAssertions.h"
#include "Platform/Fake/FakePowerRegistry.h"
#include "Platform/Fake/FakeQueues.h"

namespace dravik::platform {
namespace {

TEST(FakeMainQueueTest, RunsNothingUntilDrainedThenInOrderIncludingNewWork) {
  FakeMainQueue queue;
  std::vector<int> ran;
  queue.post([&] {
    ran.push_back(1);
    queue.post([&] { ran.push_back(3); });
  });
  queue.post([&] { ran.push_back(2); });
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(queue.pending(), 2u);
  EXPECT_TRUE(queue.runOne());
  EXPECT_EQ(ran, std::vector<int>{1});
  EXPECT_EQ(queue.runAll(), 2u);
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(queue.runOne());
  EXPECT_EQ(queue.posted(), 3u);
}

TEST(FakeGlobalQueueTest, RunsWhatBecameDueInDueOrder) {
  FakeGlobalQueue queue;
  std::vector<std::string> ran;
  queue.postAfter(6.0, [&] { ran.push_back("six"); });
  queue.postAfter(1.0, [&] {
    ran.push_back("one");
    queue.postAfter(1.0, [&] { ran.push_back("two"); });
  });
  queue.postAfter(6.0, [&] { ran.push_back("six again"); });
  EXPECT_EQ(queue.advance(0.5), 0u);
  EXPECT_EQ(queue.advance(5.0), 2u);
  EXPECT_EQ(ran, (std::vector<std::string>{"one", "two"}));
  EXPECT_DOUBLE_EQ(queue.now(), 5.5);
  EXPECT_EQ(queue.advance(0.5), 2u);
  EXPECT_EQ(ran, (std::vector<std::string>{"one", "two", "six", "six again"}));
  EXPECT_EQ(queue.delays(), (std::vector<double>{6.0, 1.0, 6.0, 1.0}));
  queue.postAfter(100, [&] { ran.push_back("late"); });
  EXPECT_EQ(queue.runAll(), 1u);
  EXPECT_EQ(ran.back(), "late");
}

TEST(FakeClockTest, SleepMovesTimeAndCallsTheHook) {
  FakeClock clock(10.0, 20.0);
  std::vector<double> seen;
  clock.setSleepHook([&](double uptime) { seen.push_back(uptime); });
  clock.sleepFor(0.5);
  clock.advance(1.0);
  EXPECT_DOUBLE_EQ(clock.uptimeSeconds(), 11.5);
  EXPECT_DOUBLE_EQ(clock.continuousSeconds(), 21.5);
  EXPECT_EQ(seen, std::vector<double>{10.5});
  EXPECT_EQ(clock.sleeps(), std::vector<double>{0.5});
}

TEST(FakePowerRegistryTest, PropertyChangesAfterTheGivenNumberOfReads) {
  FakePowerRegistry registry;
  registry.setProperty("SleepDisabled", false);
  registry.setPropertyAfterReads("SleepDisabled", PropertyValue(true), 2);
  const auto read = [&] {
    return registry.property(FakePowerRegistry::kRootService, "SleepDisabled");
  };
  EXPECT_EQ(read(), PropertyValue(false));
  EXPECT_EQ(read(), PropertyValue(false));
  EXPECT_EQ(read(), PropertyValue(true));
  EXPECT_EQ(registry.propertyReads("SleepDisabled"), 3);
  registry.setPropertyAfterReads("SleepDisabled", std::nullopt, 0);
  EXPECT_EQ(read(), PropertyValue(true));
  EXPECT_EQ(read(), std::nullopt);
}

TEST(FakePowerAssertionsTest, LapsesByTheClockUnlessTheTimeoutIsRestarted) {
  FakeClock clock;
  FakePowerAssertions assertions(&clock);
  std::uint32_t id = 0;
  ASSERT_EQ(
      assertions.create(
          {{"TimeoutSeconds", 30.0}, {"TimeoutAction", std::string("TimeoutActionRelease")}}, &id),
      0);
  std::uint32_t forever = 0;
  ASSERT_EQ(assertions.create({{"AssertType", std::string("X")}}, &forever), 0);
  clock.advance(29);
  EXPECT_EQ(assertions.setProperty(id, "TimeoutSeconds", 30.0), 0);
  clock.advance(29);
  EXPECT_TRUE(assertions.exists(id));
  clock.advance(1);
  EXPECT_FALSE(assertions.exists(id));
  EXPECT_EQ(assertions.release(id), FakePowerAssertions::kNotFound);
  EXPECT_EQ(assertions.liveIds(), std::vector<std::uint32_t>{forever});
  assertions.lapse(forever);
  EXPECT_TRUE(assertions.liveIds().empty());
}

TEST(CapturingLogSinkTest, KeepsRecords) {
  CapturingLogSink sink;
  sink.log("dravik.sleep-service", "sleep", LogLevel::kError, "boom");
  EXPECT_EQ(sink.records(),
            (std::vector<LogRecord>{{"dravik.sleep-service", "sleep", LogLevel::kError, "boom"}}));
  EXPECT_EQ(sink.texts(), std::vector<std::string>{"boom"});
}

}  // namespace
}  // namespace dravik::platform
