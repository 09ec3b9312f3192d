#include "DravikCore/Session.h"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace dravik {

namespace {

constexpr Phase kAllPhases[] = {Phase::off, Phase::starting, Phase::armed, Phase::closed,
                                Phase::restoring};

// Every decoding failure is one of the JSON library's own exceptions, so a reader catches one
// kind of error whether the text, the structure or a value was wrong.
template <typename Json>
[[noreturn]] void wrongType(const Json& value, std::string_view key, std::string_view expected) {
  throw nlohmann::json::type_error::create(302,
                                           "type must be " + std::string(expected) + ", but is " +
                                               std::string(value.type_name()) + " (key '" +
                                               std::string(key) + "')",
                                           &value);
}

template <typename Json>
[[noreturn]] void doesNotFit(const Json& value, std::string_view key, std::string_view width) {
  throw nlohmann::json::out_of_range::create(406,
                                             "number " + value.dump() + " does not fit " +
                                                 std::string(width) + " (key '" + std::string(key) +
                                                 "')",
                                             &value);
}

template <typename Json>
const Json& required(const Json& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end()) {
    throw nlohmann::json::out_of_range::create(403, "key '" + std::string(key) + "' not found",
                                               &object);
  }
  return *found;
}

// Absent when the key is missing or null.
template <typename Json>
const Json* optional(const Json& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end() || found->is_null()) return nullptr;
  return &*found;
}

template <typename Json>
void requireObject(const Json& json, std::string_view record) {
  if (!json.is_object()) wrongType(json, record, "object");
}

template <typename Json>
bool boolValue(const Json& value, const char* key) {
  if (!value.is_boolean()) wrongType(value, key, "boolean");
  return value.template get<bool>();
}

template <typename Json>
std::string stringValue(const Json& value, const char* key) {
  if (!value.is_string()) wrongType(value, key, "string");
  return value.template get<std::string>();
}

// An integer of type Int, never truncated: a number outside Int's range, or with a fractional
// part, is refused rather than converted. An integral floating-point number (30.0) is accepted.
template <typename Int, typename Json>
Int integerValue(const Json& value, const char* key, std::string_view width) {
  constexpr auto kMin = std::numeric_limits<Int>::min();
  constexpr auto kMax = std::numeric_limits<Int>::max();
  switch (value.type()) {
    case nlohmann::json::value_t::number_integer: {
      const auto number = value.template get<std::int64_t>();
      if (number < kMin || number > kMax) doesNotFit(value, key, width);
      return static_cast<Int>(number);
    }
    case nlohmann::json::value_t::number_unsigned: {
      const auto number = value.template get<std::uint64_t>();
      if (number > static_cast<std::uint64_t>(kMax)) doesNotFit(value, key, width);
      return static_cast<Int>(number);
    }
    case nlohmann::json::value_t::number_float: {
      const auto number = value.template get<double>();
      if (!std::isfinite(number) || std::trunc(number) != number) {
        wrongType(value, key, "an integer");
      }
      // -kMin is a power of two, exactly representable, and the first value past kMax.
      const double lowest = static_cast<double>(kMin);
      if (number < lowest || number >= -lowest) doesNotFit(value, key, width);
      return static_cast<Int>(number);
    }
    default:
      wrongType(value, key, "number");
  }
}

template <typename Json>
double doubleValue(const Json& value, const char* key) {
  if (!value.is_number()) wrongType(value, key, "number");
  const auto number = value.template get<double>();
  if (!std::isfinite(number)) {
    throw nlohmann::json::out_of_range::create(
        406, "number is not finite (key '" + std::string(key) + "')", &value);
  }
  return number;
}

template <typename Json>
Phase phaseValue(const Json& value, const char* key) {
  const std::string raw = stringValue(value, key);
  std::optional<Phase> phase = phaseFromRawValue(raw);
  if (!phase) {
    throw nlohmann::json::out_of_range::create(
        406, "'" + raw + "' is not a phase (key '" + std::string(key) + "')", &value);
  }
  return *phase;
}

template <typename Json>
Command decodeCommand(const Json& json) {
  requireObject(json, "Command");
  Command command(stringValue(required(json, "action"), "action"), std::nullopt);
  if (const Json* minutes = optional(json, "minutes")) {
    command.minutes = integerValue<std::int64_t>(*minutes, "minutes", "a signed 64-bit integer");
  }
  return command;
}

template <typename Json>
Snapshot decodeSnapshot(const Json& json) {
  requireObject(json, "Snapshot");
  Snapshot s;
  s.compatibilityReady = boolValue(required(json, "compatibilityReady"), "compatibilityReady");
  s.compatibilityMessage =
      stringValue(required(json, "compatibilityMessage"), "compatibilityMessage");
  s.phase = phaseValue(required(json, "phase"), "phase");
  s.openAwakeRequested = boolValue(required(json, "openAwakeRequested"), "openAwakeRequested");
  s.openAwakeActive = boolValue(required(json, "openAwakeActive"), "openAwakeActive");
  s.openAwakeMessage = stringValue(required(json, "openAwakeMessage"), "openAwakeMessage");
  s.openAwakeError = boolValue(required(json, "openAwakeError"), "openAwakeError");
  if (const Json* value = optional(json, "agentPID")) {
    s.agentPID = integerValue<std::int32_t>(*value, "agentPID", "a signed 32-bit integer");
  }
  if (const Json* value = optional(json, "sandboxContainer")) {
    s.sandboxContainer = stringValue(*value, "sandboxContainer");
  }
  s.message = stringValue(required(json, "message"), "message");
  if (const Json* value = optional(json, "lidClosed")) {
    s.lidClosed = boolValue(*value, "lidClosed");
  }
  if (const Json* value = optional(json, "causesSleep")) {
    s.causesSleep = boolValue(*value, "causesSleep");
  }
  if (const Json* value = optional(json, "battery")) {
    s.battery = integerValue<std::int64_t>(*value, "battery", "a signed 64-bit integer");
  }
  s.onBattery = boolValue(required(json, "onBattery"), "onBattery");
  s.thermal = stringValue(required(json, "thermal"), "thermal");
  if (const Json* value = optional(json, "deadline")) {
    s.deadline = doubleValue(*value, "deadline");
  }
  s.error = boolValue(required(json, "error"), "error");
  return s;
}

}  // namespace

std::string_view rawValue(Phase phase) {
  switch (phase) {
    case Phase::off:
      return "off";
    case Phase::starting:
      return "starting";
    case Phase::armed:
      return "armed";
    case Phase::closed:
      return "closed";
    case Phase::restoring:
      return "restoring";
  }
  return "off";
}

std::optional<Phase> phaseFromRawValue(std::string_view raw) {
  for (Phase phase : kAllPhases) {
    if (rawValue(phase) == raw) return phase;
  }
  return std::nullopt;
}

bool isActive(Phase phase) {
  return phase == Phase::starting || phase == Phase::armed || phase == Phase::closed;
}

bool OneShot::arm(double now, std::int64_t minutes, bool lidClosed) {
  if (phase_ != Phase::off || minutes < 0 || lidClosed) return false;
  // The limit is counted in whole seconds as a 64-bit integer; a limit whose seconds cannot be
  // counted that way is refused like any other unusable limit, before anything changes.
  constexpr std::int64_t kMaxMinutes = std::numeric_limits<std::int64_t>::max() / 60;
  if (minutes > kMaxMinutes) return false;
  phase_ = Phase::armed;
  beganAt_ = now;
  if (minutes == 0) {
    deadline_.reset();
  } else {
    deadline_ = now + static_cast<double>(minutes * 60);
  }
  return true;
}

bool OneShot::observe(bool closed) {
  if (closed && phase_ == Phase::armed) {
    phase_ = Phase::closed;
    return false;
  }
  if (!closed && phase_ == Phase::closed) {
    phase_ = Phase::restoring;
    return true;
  }
  return false;
}

bool OneShot::expired(double now) const {
  return isActive(phase_) && deadline_.has_value() && now >= *deadline_;
}

void OneShot::reset() {
  phase_ = Phase::off;
  beganAt_.reset();
  deadline_.reset();
}

nlohmann::ordered_json toJson(const Command& command) {
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  json["action"] = command.action;
  if (command.minutes) json["minutes"] = *command.minutes;
  return json;
}

nlohmann::ordered_json toJson(const Snapshot& s) {
  if (s.deadline && !std::isfinite(*s.deadline)) {
    throw std::invalid_argument("Snapshot.deadline is not a finite number");
  }
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  json["compatibilityReady"] = s.compatibilityReady;
  json["compatibilityMessage"] = s.compatibilityMessage;
  json["phase"] = std::string(rawValue(s.phase));
  json["openAwakeRequested"] = s.openAwakeRequested;
  json["openAwakeActive"] = s.openAwakeActive;
  json["openAwakeMessage"] = s.openAwakeMessage;
  json["openAwakeError"] = s.openAwakeError;
  if (s.agentPID) json["agentPID"] = *s.agentPID;
  if (s.sandboxContainer) json["sandboxContainer"] = *s.sandboxContainer;
  json["message"] = s.message;
  if (s.lidClosed) json["lidClosed"] = *s.lidClosed;
  if (s.causesSleep) json["causesSleep"] = *s.causesSleep;
  if (s.battery) json["battery"] = *s.battery;
  json["onBattery"] = s.onBattery;
  json["thermal"] = s.thermal;
  if (s.deadline) json["deadline"] = *s.deadline;
  json["error"] = s.error;
  return json;
}

Command commandFromJson(const nlohmann::json& json) { return decodeCommand(json); }
Command commandFromJson(const nlohmann::ordered_json& json) { return decodeCommand(json); }
Snapshot snapshotFromJson(const nlohmann::json& json) { return decodeSnapshot(json); }
Snapshot snapshotFromJson(const nlohmann::ordered_json& json) { return decodeSnapshot(json); }

}  // namespace dravik
