#include "QuellanSleepService/SystemSetting.h"

#include <cstdint>
#include <optional>

#include "Platform/MachineRoot.h"
#include "Platform/Posix/ChildProcess.h"
#include "QuellanServiceCore/ServiceFailure.h"

namespace quellan {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
const char* const kTimedOut = "系统睡眠设置超时，请保持开盖并重试";
const char* const kRejected = "系统拒绝兼容组件的睡眠设置";
const char* const kBadReport = "系统睡眠设置响应异常";
const char* const kUnreadable = "无法读取系统睡眠设置，请稍后重试";
const char* const kUnconfirmed = "兼容组件未能确认睡眠设置，请稍后重试";

// Decodes `bytes` into code points; each maximal subpart of an ill-formed sequence (as
// Unicode recommends) becomes one U+FFFD.
std::u32string decodeCodePoints(std::string_view bytes) {
  std::u32string text;
  text.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      text.push_back(lead);
      ++i;
      continue;
    }
    int length = 0;
    char32_t point = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      point = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      point = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
      text.push_back(kReplacement);
      ++i;
      continue;
    }
    std::size_t next = i + 1;
    bool complete = true;
    for (int k = 1; k < length; ++k, ++next) {
      if (next >= bytes.size()) {
        complete = false;
        break;
      }
      const auto byte = static_cast<unsigned char>(bytes[next]);
      const unsigned char min = k == 1 ? low : 0x80;
      const unsigned char max = k == 1 ? high : 0xBF;
      if (byte < min || byte > max) {
        complete = false;
        break;
      }
      point = (point << 6) | (byte & 0x3F);
    }
    text.push_back(complete ? point : kReplacement);
    i = next;
  }
  return text;
}

void appendUtf8(std::string& out, char32_t point) {
  if (point < 0x80) {
    out.push_back(static_cast<char>(point));
  } else if (point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (point >> 6)));
    out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
  } else if (point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (point & 0x3F)));
  }
}

// Line breaks: LF, VT, FF, CR (a CR LF pair leaves an empty line, which is dropped), NEL,
// LINE SEPARATOR, PARAGRAPH SEPARATOR.
bool isNewline(char32_t c) {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// The Unicode White_Space property.
bool isWhiteSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::vector<std::u32string> split(const std::u32string& text, bool (*separator)(char32_t)) {
  std::vector<std::u32string> parts;
  std::u32string current;
  for (char32_t c : text) {
    if (separator(c)) {
      if (!current.empty()) parts.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) parts.push_back(std::move(current));
  return parts;
}

}  // namespace

std::string decodeUtf8Lossy(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (char32_t point : decodeCodePoints(bytes)) appendUtf8(text, point);
  return text;
}

SystemSleepSetting::SystemSleepSetting(dravik::PowerDriver& root, dravik::platform::Clock& clock)
    : root_(root), clock_(clock) {}

bool SystemSleepSetting::parse(std::string_view output) {
  std::vector<bool> values;
  for (const std::u32string& line : split(decodeCodePoints(output), isNewline)) {
    const std::vector<std::u32string> tokens = split(line, isWhiteSpace);
    if (tokens.size() != 2 || tokens[0] != U"SleepDisabled") continue;
    if (tokens[1] == U"0") {
      values.push_back(false);
    } else if (tokens[1] == U"1") {
      values.push_back(true);
    }
  }
  if (values.size() != 1) throw ServiceFailure(kUnreadable);
  return values.front();
}

std::string SystemSleepSetting::run(const std::vector<std::string>& arguments) {
  dravik::platform::ChildProcessRequest request;
  request.path = dravik::platform::machinePath(kTool);
  request.arguments = arguments;
  request.environment = {"PATH=/usr/bin:/bin", "LC_ALL=C", "LANG=C"};
  request.timeoutSeconds = kToolWaitSeconds;
  request.graceSeconds = kKillGraceSeconds;
  request.outputLimit = kLargestReport;

  const dravik::platform::ChildProcessResult result = dravik::platform::runChildProcess(request);
  using Ending = dravik::platform::ChildProcessResult::Ending;
  if (result.ending == Ending::kTimedOut) throw ServiceFailure(kTimedOut);
  if (result.ending == Ending::kSignaled || result.exitStatus != 0) {
    throw ServiceFailure(kRejected);
  }
  if (result.outputOverLimit) throw ServiceFailure(kBadReport);
  // The tool exited but its report never reached its end in time: a late answer.
  if (result.outputUnfinished) throw ServiceFailure(kTimedOut);
  return decodeUtf8Lossy(result.output);
}

bool SystemSleepSetting::read() {
  const bool reported = parse(run({"-g"}));
  const std::optional<bool> kernel = root_.boolProperty("SleepDisabled");
  if (!kernel || *kernel != reported) throw ServiceFailure(kUnconfirmed);
  return reported;
}

void SystemSleepSetting::write(bool disabled) {
  run({"-a", "disablesleep", disabled ? "1" : "0"});
  const double end = clock_.uptimeSeconds() + kConfirmWindowSeconds;
  for (;;) {
    const std::optional<bool> kernel = root_.boolProperty("SleepDisabled");
    if (kernel && *kernel == disabled) return;
    if (clock_.uptimeSeconds() >= end) throw ServiceFailure(kUnconfirmed);
    clock_.sleepFor(kConfirmPollSeconds);
  }
}

}  // namespace quellan
