#pragma once
// Where a program's structured log records go (the unified log on a Mac).

#include <string>

namespace dravik::platform {

enum class LogLevel { kDefault, kError, kFault };

class LogSink {
 public:
  LogSink() = default;
  LogSink(const LogSink&) = delete;
  LogSink& operator=(const LogSink&) = delete;
  virtual ~LogSink() = default;

  // Thread-safe. Never fails; a record that cannot be written is dropped.
  virtual void log(const std::string& subsystem, const std::string& category, LogLevel level,
                   const std::string& text) = 0;
};

}  // namespace dravik::platform
