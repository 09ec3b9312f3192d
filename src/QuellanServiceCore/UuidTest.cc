#include <gtest/gtest.h>

#include <regex>

#include "QuellanServiceCore/Uuid.h"

namespace quellan {
namespace {

TEST(UuidTest, PrintsTheStandardUpperCaseVersion4Form) {
  const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  for (int i = 0; i < 100; ++i) {
    const std::string text = Uuid::random().string();
    EXPECT_EQ(text.size(), 36u);
    EXPECT_TRUE(std::regex_match(text, form)) << text;
  }
}

TEST(UuidTest, ComparesByValue) {
  const Uuid a = Uuid::random();
  const Uuid copy = a;
  const Uuid b = Uuid::random();
  EXPECT_EQ(a, copy);
  EXPECT_NE(a, b);
  EXPECT_NE(a.string(), b.string());
  EXPECT_EQ(Uuid().string(), "00000000-0000-0000-0000-000000000000");
}

}  // namespace
}  // namespace quellan
