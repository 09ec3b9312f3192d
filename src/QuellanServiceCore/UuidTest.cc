#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "QuellanServiceCore/Uuid.h"

namespace quellan {
namespace {

// "XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX" with upper-case hex digits, Y one of 8, 9, A, B.
bool standardVersion4(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!std::isdigit(static_cast<unsigned char>(c)) && (c < 'A' || c > 'F')) {
      return false;
    }
  }
  return text[14] == '4' && std::string("89AB").find(text[19]) != std::string::npos;
}

TEST(UuidTest, PrintsTheStandardUpperCaseVersion4Form) {
  for (int i = 0; i < 100; ++i) {
    const std::string text = Uuid::random().string();
    EXPECT_TRUE(standardVersion4(text)) << text;
  }
  EXPECT_FALSE(standardVersion4("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
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
