#include "QuellanSleepService/DaemonLog.h"

#include <unistd.h>

#include <cerrno>

#include "QuellanServiceProtocol/ServiceProtocol.h"

namespace quellan {

const char* StderrLogSink::priorityPrefix(dravik::platform::LogLevel level) {
  switch (level) {
    case dravik::platform::LogLevel::kDefault:
      return "<5>";
    case dravik::platform::LogLevel::kError:
      return "<3>";
    case dravik::platform::LogLevel::kFault:
      return "<2>";
  }
  return "<5>";
}

void StderrLogSink::log(const std::string& subsystem, const std::string& category,
                        dravik::platform::LogLevel level, const std::string& text) {
  std::string line = std::string(priorityPrefix(level)) + subsystem + "[" + category + "]: " + text;
  line.push_back('\n');
  std::lock_guard<std::mutex> lock(mutex_);
  // One write per record so lines from several threads never interleave; a short or failed
  // write loses the rest of the record, which is all a log can do.
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

void DaemonLogger::log(dravik::platform::LogLevel level, const std::string& text) {
  sink_.log(CompatibilityService::daemonID, "sleep", level, text);
}

void DaemonLogger::log(dravik::platform::LogLevel level, const std::string& format,
                       const std::string& description) {
  log(level, DaemonLogger::format(format, description));
}

std::string DaemonLogger::format(const std::string& format, const std::string& description) {
  static const std::string kPlaceholder = "%{public}s";
  std::string::size_type at = format.find(kPlaceholder);
  if (at == std::string::npos) return format;
  return format.substr(0, at) + description + format.substr(at + kPlaceholder.size());
}

}  // namespace quellan
