// Fuzzes the keyed Command and Snapshot decoders with arbitrary text parsed as JSON, in both
// JSON flavours. A record that decodes must come back unchanged through its own keyed form,
// written as text and read again.

#include <cmath>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "DravikCore/Session.h"
#include "FuzzSupport.h"

namespace {

using dravik::Command;
using dravik::Snapshot;
using dravik::fuzz::check;

bool sameBits(const std::optional<double>& a, const std::optional<double>& b) {
  if (a.has_value() != b.has_value()) return false;
  // JSON keeps the sign of zero; compare as written so -0.0 and 0.0 are told apart too.
  return !a || (*a == *b && std::signbit(*a) == std::signbit(*b));
}

bool same(const Command& a, const Command& b) {
  return a.action == b.action && a.minutes == b.minutes;
}

bool same(const Snapshot& a, const Snapshot& b) {
  return a.compatibilityReady == b.compatibilityReady &&
         a.compatibilityMessage == b.compatibilityMessage && a.phase == b.phase &&
         a.openAwakeRequested == b.openAwakeRequested && a.openAwakeActive == b.openAwakeActive &&
         a.openAwakeMessage == b.openAwakeMessage && a.openAwakeError == b.openAwakeError &&
         a.agentPID == b.agentPID && a.sandboxContainer == b.sandboxContainer &&
         a.message == b.message && a.lidClosed == b.lidClosed && a.causesSleep == b.causesSleep &&
         a.battery == b.battery && a.onBattery == b.onBattery && a.thermal == b.thermal &&
         sameBits(a.deadline, b.deadline) && a.error == b.error;
}

template <typename Json>
void fuzzCommand(const Json& json) {
  std::optional<Command> command;
  try {
    command = dravik::commandFromJson(json);
  } catch (const nlohmann::json::exception&) {
    return;
  }
  const std::string text = dravik::toJson(*command).dump();
  const Command again = dravik::commandFromJson(nlohmann::json::parse(text));
  check(same(*command, again), "Command changed through its keyed form");
  check(dravik::toJson(again).dump() == text, "Command written twice differently");
}

template <typename Json>
void fuzzSnapshot(const Json& json) {
  std::optional<Snapshot> snapshot;
  try {
    snapshot = dravik::snapshotFromJson(json);
  } catch (const nlohmann::json::exception&) {
    return;
  }
  // A decoded deadline came from a JSON number, so it is finite and writing cannot refuse it.
  const std::string text = dravik::toJson(*snapshot).dump();
  const Snapshot again = dravik::snapshotFromJson(nlohmann::ordered_json::parse(text));
  check(same(*snapshot, again), "Snapshot changed through its keyed form");
  check(dravik::toJson(again).dump() == text, "Snapshot written twice differently");
}

template <typename Json>
void fuzzBoth(std::string_view text) {
  Json json;
  try {
    json = Json::parse(text);
  } catch (const nlohmann::json::exception&) {
    return;
  }
  fuzzCommand(json);
  fuzzSnapshot(json);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (dravik::fuzz::tooLarge(size)) return 0;
  const std::string_view text = dravik::fuzz::asText(data, size);
  fuzzBoth<nlohmann::json>(text);
  fuzzBoth<nlohmann::ordered_json>(text);
  return 0;
}
