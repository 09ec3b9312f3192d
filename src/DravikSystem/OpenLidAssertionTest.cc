#include <gtest/gtest.h>

#include "DravikSystem/OpenLidAssertion.h"
#include "DravikSystem/PowerError.h"
#include "Platform/Fake/FakeClock.h"
#include "Platform/Fake/FakePowerAssertions.h"

namespace dravik {
namespace {

using platform::AssertionProperties;
using platform::AssertionValue;
using platform::FakeClock;
using platform::FakePowerAssertions;

constexpr std::int32_t kNoMemory = static_cast<std::int32_t>(0xe00002bd);

std::vector<std::string> operations(const FakePowerAssertions& assertions) {
  std::vector<std::string> names;
  for (const auto& call : assertions.calls()) names.push_back(call.operation);
  return names;
}

std::string errorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const PowerError& error) {
    return error.what();
  }
  return "(no error)";
}

class OpenLidAssertionTest : public ::testing::Test {
 protected:
  FakeClock clock;
  FakePowerAssertions assertions{&clock};
};

TEST_F(OpenLidAssertionTest, CreatesTheAssertionWithExactlyItsProperties) {
  OpenLidAssertion assertion(assertions);
  EXPECT_FALSE(assertion.held());
  assertion.renew();
  EXPECT_TRUE(assertion.held());

  const AssertionProperties expected{
      {"AssertType", AssertionValue(std::string("PreventUserIdleSystemSleep"))},
      {"AssertName", AssertionValue(std::string("Quellan \xC2\xB7 Open-lid keep awake"))},
      {"AssertLevel", AssertionValue(std::int64_t{255})},
      {"TimeoutSeconds", AssertionValue(30.0)},
      {"TimeoutAction", AssertionValue(std::string("TimeoutActionRelease"))},
  };
  ASSERT_EQ(assertions.calls().size(), 1u);
  EXPECT_EQ(assertions.calls()[0].operation, "create");
  EXPECT_EQ(assertions.calls()[0].properties, expected);
  EXPECT_EQ(assertions.liveIds(), std::vector<std::uint32_t>{FakePowerAssertions::kFirstId});
}

TEST_F(OpenLidAssertionTest, ReleaseOfAFreshObjectDoesNothing) {
  OpenLidAssertion assertion(assertions);
  assertion.release();
  EXPECT_FALSE(assertion.held());
  EXPECT_TRUE(assertions.calls().empty());
}

TEST_F(OpenLidAssertionTest, SecondRenewRestartsTheTimeoutOfTheSameAssertion) {
  OpenLidAssertion assertion(assertions);
  assertion.renew();
  clock.advance(20);
  assertion.renew();
  EXPECT_EQ(operations(assertions), (std::vector<std::string>{"create", "setProperty"}));
  const auto update = assertions.calls()[1];
  EXPECT_EQ(update.id, FakePowerAssertions::kFirstId);
  EXPECT_EQ(update.key, "TimeoutSeconds");
  ASSERT_TRUE(update.value.has_value());
  const double* seconds = std::get_if<double>(&*update.value);
  ASSERT_NE(seconds, nullptr);  // a double, not an integer
  EXPECT_EQ(*seconds, 30.0);
  // The restarted timeout carries it past the first 30 seconds.
  clock.advance(20);
  EXPECT_EQ(assertions.liveIds(), std::vector<std::uint32_t>{FakePowerAssertions::kFirstId});
  assertion.release();
  EXPECT_EQ(assertions.calls().back().id, FakePowerAssertions::kFirstId);
  EXPECT_TRUE(assertions.liveIds().empty());
}

TEST_F(OpenLidAssertionTest, FailedFirstRenewLeavesNothingHeldAndTheNextOneCreatesAgain) {
  OpenLidAssertion assertion(assertions);
  assertions.setCreateResult(kNoMemory);
  EXPECT_EQ(errorText([&] { assertion.renew(); }), "开盖防休眠请求失败：0xe00002bd");
  EXPECT_FALSE(assertion.held());
  assertions.setCreateResult(0);
  assertion.renew();
  EXPECT_TRUE(assertion.held());
  EXPECT_EQ(operations(assertions), (std::vector<std::string>{"create", "create"}));
}

TEST_F(OpenLidAssertionTest, FailedUpdateKeepsTheAssertion) {
  OpenLidAssertion assertion(assertions);
  assertion.renew();
  assertions.setSetPropertyResult(-1);
  EXPECT_EQ(errorText([&] { assertion.renew(); }), "开盖防休眠请求失败：0xffffffff");
  EXPECT_TRUE(assertion.held());
  assertions.setSetPropertyResult(0);
  assertion.release();
  EXPECT_EQ(assertions.calls().back().id, FakePowerAssertions::kFirstId);
}

TEST_F(OpenLidAssertionTest, LapsedAssertionIsReleasedQuietly) {
  OpenLidAssertion assertion(assertions);
  assertion.renew();
  clock.advance(30);  // no renewal: the platform drops it
  EXPECT_TRUE(assertions.liveIds().empty());
  EXPECT_TRUE(assertion.held());  // not noticed until release
  assertion.release();
  EXPECT_FALSE(assertion.held());
  EXPECT_EQ(operations(assertions), (std::vector<std::string>{"create", "release", "exists"}));
}

TEST_F(OpenLidAssertionTest, RenewOfALapsedAssertionFailsAndKeepsItsIdentifier) {
  OpenLidAssertion assertion(assertions);
  assertion.renew();
  clock.advance(31);
  EXPECT_EQ(errorText([&] { assertion.renew(); }), "开盖防休眠请求失败：0xe00002f0");
  EXPECT_TRUE(assertion.held());
  EXPECT_EQ(assertions.calls().back().operation, "setProperty");
  assertion.release();
  EXPECT_FALSE(assertion.held());
  // Holding again after that makes a fresh assertion.
  assertion.renew();
  EXPECT_EQ(assertions.calls().back().operation, "create");
  EXPECT_EQ(assertions.liveIds(), std::vector<std::uint32_t>{FakePowerAssertions::kFirstId + 1});
}

TEST_F(OpenLidAssertionTest, FailedReleaseOfALiveAssertionKeepsItAndNamesTheCode) {
  OpenLidAssertion assertion(assertions);
  assertion.renew();
  assertions.setReleaseResult(kNoMemory);
  EXPECT_EQ(errorText([&] { assertion.release(); }), "开盖防休眠恢复失败：0xe00002bd");
  EXPECT_TRUE(assertion.held());
  assertions.setReleaseResult(0);
  assertion.release();
  EXPECT_FALSE(assertion.held());
  EXPECT_TRUE(assertions.liveIds().empty());
}

TEST_F(OpenLidAssertionTest, DestructionReleasesAHeldAssertion) {
  {
    OpenLidAssertion assertion(assertions);
    assertion.renew();
  }
  EXPECT_TRUE(assertions.liveIds().empty());
  EXPECT_EQ(operations(assertions), (std::vector<std::string>{"create", "release"}));
}

TEST_F(OpenLidAssertionTest, DestructionSwallowsAFailedRelease) {
  {
    OpenLidAssertion assertion(assertions);
    assertion.renew();
    assertions.setReleaseResult(kNoMemory);
  }
  EXPECT_EQ(operations(assertions), (std::vector<std::string>{"create", "release", "exists"}));
}

// The way the open-lid session drives it: renew every few seconds, release at the end;
// after a gap longer than the timeout the hold is gone and release still succeeds.
TEST_F(OpenLidAssertionTest, SessionStyleDrive) {
  OpenLidAssertion assertion(assertions);
  for (int i = 0; i < 10; ++i) {
    assertion.renew();
    clock.advance(5);
  }
  EXPECT_EQ(assertions.liveIds().size(), 1u);
  clock.advance(40);
  EXPECT_TRUE(assertions.liveIds().empty());
  EXPECT_THROW(assertion.renew(), PowerError);
  assertion.release();
  EXPECT_FALSE(assertion.held());
  EXPECT_TRUE(assertions.liveIds().empty());
}

}  // namespace
}  // namespace dravik
