#pragma once
// The one-shot closed-lid session model and the keyed records that clients exchange.
//
// OneShot: a session keeps the machine awake through exactly one closing of the lid.
//   off ──arm (minutes ≥ 0, lid open)──▶ armed ──lid closes──▶ closed ──lid opens──▶ restoring
//   restoring ──reset──▶ off; reset leads back to off from anywhere.
// Nothing here enters `starting`: clients set it in the status record while they ask the sleep
// service to begin, and `expired` counts it as active. A time limit that passes is reported by
// `expired` and does not change the phase; the caller acts on it and resets. The model reads no
// clock: callers pass `now`, in seconds on one clock of their choosing.
//
// Command and Snapshot: plain records with a keyed JSON form. Keys are the field names; optional
// fields are left out when absent (never null) and read as absent when missing or null. A
// decoding failure throws nlohmann::json's own exception (nlohmann::json::exception) and yields
// no record: a missing or null required key, a value of the wrong type, an integer that does
// not fit its field, a number that is not integral where an integer is expected, or an unknown
// phase.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace dravik {

enum class Phase { off, starting, armed, closed, restoring };

// "off", "starting", "armed", "closed" or "restoring".
std::string_view rawValue(Phase phase);
// Exactly the five raw values; absent for any other string.
std::optional<Phase> phaseFromRawValue(std::string_view raw);
// True for starting, armed and closed.
bool isActive(Phase phase);

class OneShot {
 public:
  OneShot() = default;

  Phase phase() const { return phase_; }
  // When the session was armed.
  std::optional<double> beganAt() const { return beganAt_; }
  // When the time limit passes; absent means no time limit.
  std::optional<double> deadline() const { return deadline_; }

  // Starts a session; true when it was armed. Refused, changing nothing, unless the phase is
  // off, `minutes` is not negative and the lid is open; also refused when `minutes` is too
  // large for its number of seconds to fit a signed 64-bit integer. 0 minutes is no limit.
  bool arm(double now, std::int64_t minutes, bool lidClosed);
  // Feeds a lid reading; true exactly when the lid has just been reopened after closing and
  // the session must now be ended.
  bool observe(bool closed);
  // Whether an active session's time limit has passed (at or after the deadline).
  bool expired(double now) const;
  // Back to off with both times absent.
  void reset();

 private:
  Phase phase_ = Phase::off;
  std::optional<double> beganAt_;
  std::optional<double> deadline_;
};

// A request: an action name and, when the action takes one, a time limit in minutes.
struct Command {
  Command(std::string action, std::optional<std::int64_t> minutes)
      : action(std::move(action)), minutes(minutes) {}

  std::string action;
  std::optional<std::int64_t> minutes;
};

// The full status that a client shows. Texts are Chinese and translated where shown.
struct Snapshot {
  bool compatibilityReady = false;
  std::string compatibilityMessage = "请先安装并授权Quellan兼容组件";
  Phase phase = Phase::off;
  bool openAwakeRequested = false;
  bool openAwakeActive = false;
  std::string openAwakeMessage = "屏幕仍可自动熄灭，合盖时暂停";
  bool openAwakeError = false;
  std::optional<std::int32_t> agentPID;
  std::optional<std::string> sandboxContainer;
  std::string message = "点一次，下次合盖继续运行";
  std::optional<bool> lidClosed;
  std::optional<bool> causesSleep;
  std::optional<std::int64_t> battery;
  bool onBattery = false;
  std::string thermal = "正常";
  // Seconds on the writer's clock; must be finite to be written.
  std::optional<double> deadline;
  bool error = false;
};

// Keyed forms, keys in the order of the fields. Writing a snapshot whose deadline is not a
// finite number throws std::invalid_argument: JSON has no such number, and writing it as null
// would read back as "no time limit".
nlohmann::ordered_json toJson(const Command& command);
nlohmann::ordered_json toJson(const Snapshot& snapshot);

// Throw nlohmann::json::exception (type_error, out_of_range) as described above.
Command commandFromJson(const nlohmann::json& json);
Command commandFromJson(const nlohmann::ordered_json& json);
Snapshot snapshotFromJson(const nlohmann::json& json);
Snapshot snapshotFromJson(const nlohmann::ordered_json& json);

}  // namespace dravik

// Lets `json j = command;` and `j.get<dravik::Snapshot>()` work for both JSON flavours.
namespace nlohmann {

template <>
struct adl_serializer<dravik::Command> {
  template <typename BasicJson>
  static void to_json(BasicJson& json, const dravik::Command& command) {
    json = BasicJson(dravik::toJson(command));
  }
  template <typename BasicJson>
  static dravik::Command from_json(const BasicJson& json) {
    return dravik::commandFromJson(json);
  }
};

template <>
struct adl_serializer<dravik::Snapshot> {
  template <typename BasicJson>
  static void to_json(BasicJson& json, const dravik::Snapshot& snapshot) {
    json = BasicJson(dravik::toJson(snapshot));
  }
  template <typename BasicJson>
  static dravik::Snapshot from_json(const BasicJson& json) {
    return dravik::snapshotFromJson(json);
  }
};

}  // namespace nlohmann
