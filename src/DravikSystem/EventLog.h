#pragma once
// A best-effort, per-user diagnostic log: one line per call appended to "events.log" in
// the user's "Dravik" data directory ($XDG_DATA_HOME/Dravik, or ~/.local/share/Dravik).
//
// Line: "<UTC time, e.g. 2025-03-01T08:05:09Z> pid=<pid> <message>\n"; the message is
// written unchanged, so line breaks in it make several physical lines. A log file larger
// than 512000 bytes is first moved aside to "events-<seconds since 1970>.log" (never
// overwriting one that exists) and the record starts a fresh file. The directory is made
// 0700 and the file 0600 when they are created; existing ones keep their permissions.
//
// Never reports an error: whatever fails loses the record. Any thread may call it; calls
// are not coordinated, each record goes out in one append.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace dravik {

// What the log takes from its process. process() reads the real environment, clock and
// process id; tests give their own to point the log at a temporary directory and to fix
// the time.
struct EventLogContext {
  // An environment variable's value; absent when it is unset.
  std::function<std::optional<std::string>(const std::string& name)> environment;
  // Whole seconds since 1970-01-01 00:00 UTC.
  std::function<std::int64_t()> now;
  std::function<std::int64_t()> processId;

  static EventLogContext process();
};

class EventLog {
 public:
  EventLog() = delete;

  static constexpr std::int64_t kRotationBytes = 512000;

  static void write(const std::string& message);
  static void write(const std::string& message, const EventLogContext& context);

  // "$XDG_DATA_HOME/Dravik" when that variable holds an absolute path, otherwise
  // "$HOME/.local/share/Dravik"; absent when neither gives an absolute path (the record is
  // then lost).
  static std::optional<std::string> directory(const EventLogContext& context);
  // `seconds` since 1970 as "YYYY-MM-DDTHH:MM:SSZ" (UTC).
  static std::string timestamp(std::int64_t seconds);
};

}  // namespace dravik
