#pragma once
// A log sink that keeps every record, for tests that check what a program logged.
// Thread-safe.

#include <mutex>
#include <string>
#include <vector>

#include "Platform/LogSink.h"

namespace dravik::platform {

struct LogRecord {
  std::string subsystem;
  std::string category;
  LogLevel level = LogLevel::kDefault;
  std::string text;
  friend bool operator==(const LogRecord&, const LogRecord&) = default;
};

class CapturingLogSink : public LogSink {
 public:
  void log(const std::string& subsystem, const std::string& category, LogLevel level,
           const std::string& text) override {
    std::lock_guard lock(mutex_);
    records_.push_back(LogRecord{subsystem, category, level, text});
  }

  std::vector<LogRecord> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  // Just the texts, in order.
  std::vector<std::string> texts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& record : records_) texts.push_back(record.text);
    return texts;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
};

}  // namespace dravik::platform
