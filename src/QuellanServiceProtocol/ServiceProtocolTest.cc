#include "QuellanServiceProtocol/ServiceProtocol.h"

#include <gtest/gtest.h>

namespace quellan {
namespace {

TEST(CompatibilityServiceTest, ComposedNames) {
  EXPECT_EQ(CompatibilityService::name(), "Q7TX2KM9RZ.dravik.sleep-service");
  EXPECT_EQ(CompatibilityService::plist(), CompatibilityService::name() + ".plist");
  EXPECT_EQ(CompatibilityService::name(), std::string(CompatibilityService::group) + ".sleep-service");
  EXPECT_EQ(CompatibilityService::daemonRequirement(),
            "anchor apple generic and identifier \"dravik.sleep-service\" and certificate "
            "leaf[subject.OU] = \"Q7TX2KM9RZ\"");
}

TEST(CompatibilityServiceTest, ClientIdentifiers) {
  const auto& ids = CompatibilityService::clientIdentifiers();
  EXPECT_EQ(ids, (std::set<std::string>{"dravik", "dravik.agent", "dravik.compatibility"}));
  EXPECT_TRUE(ids.count(CompatibilityService::helperID));
  EXPECT_FALSE(ids.count(CompatibilityService::daemonID));
}

TEST(CompatibilityServiceTest, TimingAndVersion) {
  EXPECT_EQ(CompatibilityService::version, 1);
  EXPECT_EQ(CompatibilityService::leaseSeconds, 30.0);
  EXPECT_EQ(CompatibilityService::renewalSeconds, 5.0);
}

}  // namespace
}  // namespace quellan
