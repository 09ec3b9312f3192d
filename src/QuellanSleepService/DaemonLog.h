#pragma once
// The daemon's log: records go to a LogSink with the daemon's subsystem and category.
// StderrLogSink is the default sink here: one line per record on standard error, with a
// syslog priority prefix that systemd and journald understand.

#include <mutex>
#include <string>

#include "Platform/LogSink.h"

namespace quellan {

class StderrLogSink : public dravik::platform::LogSink {
 public:
  // "<5>" for default, "<3>" for error, "<2>" for fault.
  static const char* priorityPrefix(dravik::platform::LogLevel level);

  void log(const std::string& subsystem, const std::string& category,
           dravik::platform::LogLevel level, const std::string& text) override;

 private:
  std::mutex mutex_;
};

// The daemon's logger: subsystem "dravik.sleep-service", category "sleep". Formats take one
// "%{public}s" placeholder, filled with the failure's description. Not owned: the sink must
// outlive the logger. Thread-safe as far as the sink is.
class DaemonLogger {
 public:
  explicit DaemonLogger(dravik::platform::LogSink& sink) : sink_(sink) {}

  void log(dravik::platform::LogLevel level, const std::string& text);
  // Replaces the first "%{public}s" in `format` with `description`.
  void log(dravik::platform::LogLevel level, const std::string& format,
           const std::string& description);

  static std::string format(const std::string& format, const std::string& description);

 private:
  dravik::platform::LogSink& sink_;
};

}  // namespace quellan
