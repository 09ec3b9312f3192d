// Fuzzes the power-management tool's report parser and the lossy UTF-8 decoding the report goes
// through. Both are compared with independent versions written here: the decoder with the
// reference of Utf8Reference.h, the parser with a plain reading of its contract (lines at any
// Unicode line break, tokens at any Unicode white space, exactly one line "SleepDisabled 0|1").

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "QuellanServiceCore/ServiceFailure.h"
#include "QuellanSleepService/SystemSetting.h"
#include "Utf8Reference.h"

namespace {

using dravik::fuzz::check;

bool lineBreak(char32_t c) {
  switch (c) {
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x85:
    case 0x2028:
    case 0x2029:
      return true;
    default:
      return false;
  }
}

// The Unicode White_Space property.
bool whiteSpace(char32_t c) {
  static constexpr char32_t kSpaces[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                                         0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                                         0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                                         0x2029, 0x202F, 0x205F, 0x3000};
  for (char32_t s : kSpaces) {
    if (c == s) return true;
  }
  return false;
}

std::vector<std::u32string> pieces(std::u32string_view text, bool (*separator)(char32_t)) {
  std::vector<std::u32string> out(1);
  for (char32_t c : text) {
    if (separator(c)) {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  std::erase_if(out, [](const std::u32string& piece) { return piece.empty(); });
  return out;
}

// Absent where parse must fail.
std::optional<bool> expectedValue(std::u32string_view text) {
  std::optional<bool> value;
  int found = 0;
  for (const std::u32string& line : pieces(text, lineBreak)) {
    const std::vector<std::u32string> tokens = pieces(line, whiteSpace);
    if (tokens.size() != 2 || tokens[0] != U"SleepDisabled") continue;
    if (tokens[1] != U"0" && tokens[1] != U"1") continue;
    value = tokens[1] == U"1";
    ++found;
  }
  if (found != 1) return std::nullopt;
  return value;
}

std::optional<bool> parsed(std::string_view report) {
  try {
    return quellan::SystemSleepSetting::parse(report);
  } catch (const quellan::ServiceFailure& failure) {
    check(std::string_view(failure.what()) == "无法读取系统睡眠设置，请稍后重试",
          "parse failed with an unexpected message");
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (dravik::fuzz::tooLarge(size)) return 0;
  const std::string_view bytes = dravik::fuzz::asText(data, size);

  const dravik::fuzz::Utf8Decoded reference = dravik::fuzz::referenceDecodeUtf8(bytes);
  const std::string text = quellan::decodeUtf8Lossy(bytes);
  check(text == dravik::fuzz::encodeUtf8(reference.points),
        "decodeUtf8Lossy differs from the reference decoder");
  check(dravik::fuzz::wellFormedUtf8(text), "decodeUtf8Lossy produced ill-formed UTF-8");
  check(!reference.wellFormed || text == bytes, "decodeUtf8Lossy changed well-formed text");
  check(quellan::decodeUtf8Lossy(text) == text, "decodeUtf8Lossy is not idempotent");

  const std::optional<bool> expected = expectedValue(reference.points);
  check(parsed(text) == expected, "parse of the decoded report disagrees with its contract");
  // The daemon always parses decoded text, but parse must read raw bytes the same way.
  check(parsed(bytes) == expected, "parse of the raw report disagrees with its contract");
  return 0;
}
