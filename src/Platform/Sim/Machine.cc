#include "Platform/Sim/Machine.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>

namespace dravik::platform::sim {
namespace {

using nlohmann::json;

constexpr std::array kKnownSections = {"format",
                                       "lid",
                                       "asleep",
                                       "rootDomain",
                                       "pendingSleepDisabled",
                                       "pmset",
                                       "powerSources",
                                       "displays",
                                       "nextDisplayId",
                                       "thermalState",
                                       "consoleUid",
                                       "runningApplications",
                                       "assertions",
                                       "nextAssertionId",
                                       "clock",
                                       "faults"};

double clockSeconds(clockid_t id) {
  timespec now{};
  if (clock_gettime(id, &now) != 0)
    throw std::system_error(errno, std::generic_category(), "clock_gettime");
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// bool / integer / floating point / string, or absent for anything else.
template <typename Variant>
std::optional<Variant> scalarFromJson(const json& value) {
  if constexpr (std::is_constructible_v<Variant, bool>) {
    if (value.is_boolean()) return Variant(value.get<bool>());
  }
  if (value.is_number_integer()) return Variant(value.get<std::int64_t>());
  if (value.is_number_float()) return Variant(value.get<double>());
  if (value.is_string()) return Variant(value.get<std::string>());
  return std::nullopt;
}

template <typename Variant>
json scalarToJson(const Variant& value) {
  return std::visit([](const auto& v) { return json(v); }, value);
}

template <typename Variant>
std::map<std::string, Variant> mapFromJson(const json& object) {
  std::map<std::string, Variant> result;
  for (const auto& [key, value] : object.items()) {
    if (auto scalar = scalarFromJson<Variant>(value)) result.emplace(key, *scalar);
  }
  return result;
}

template <typename Variant>
json mapToJson(const std::map<std::string, Variant>& map) {
  json object = json::object();
  for (const auto& [key, value] : map) object[key] = scalarToJson(value);
  return object;
}

json faultsToJson(const Faults& faults) {
  json object = json::object();
  if (faults.rootDomainMissing) object["rootDomainMissing"] = true;
  if (faults.openReturns != 0) object["openReturns"] = faults.openReturns;
  if (faults.displayCountFails != 0) object["displayCountFails"] = faults.displayCountFails;
  if (faults.displayListFails != 0) object["displayListFails"] = faults.displayListFails;
  if (faults.displayCount) object["displayCount"] = *faults.displayCount;
  if (faults.powerSourcesAbsent) object["powerSourcesAbsent"] = true;
  if (faults.assertionCreateReturns != 0)
    object["assertionCreateReturns"] = faults.assertionCreateReturns;
  if (faults.assertionSetPropertyReturns != 0)
    object["assertionSetPropertyReturns"] = faults.assertionSetPropertyReturns;
  if (faults.assertionReleaseReturns != 0)
    object["assertionReleaseReturns"] = faults.assertionReleaseReturns;
  if (faults.rootDomainLag != 0) object["rootDomainLag"] = faults.rootDomainLag;
  if (faults.rootDomainNeverFollows) object["rootDomainNeverFollows"] = true;
  if (faults.pmsetHang) object["pmsetHang"] = true;
  if (faults.pmsetForkChild) object["pmsetForkChild"] = *faults.pmsetForkChild;
  if (faults.pmsetExitStatus) object["pmsetExitStatus"] = *faults.pmsetExitStatus;
  if (faults.pmsetOutputBytes) object["pmsetOutputBytes"] = *faults.pmsetOutputBytes;
  if (faults.pmsetInvalidUtf8) object["pmsetInvalidUtf8"] = true;
  return object;
}

Faults faultsFromJson(const json& object) {
  Faults faults;
  faults.rootDomainMissing = object.value("rootDomainMissing", false);
  faults.openReturns = object.value("openReturns", 0);
  faults.displayCountFails = object.value("displayCountFails", 0);
  faults.displayListFails = object.value("displayListFails", 0);
  if (object.contains("displayCount"))
    faults.displayCount = object.at("displayCount").get<std::uint32_t>();
  faults.powerSourcesAbsent = object.value("powerSourcesAbsent", false);
  faults.assertionCreateReturns = object.value("assertionCreateReturns", 0);
  faults.assertionSetPropertyReturns = object.value("assertionSetPropertyReturns", 0);
  faults.assertionReleaseReturns = object.value("assertionReleaseReturns", 0);
  faults.rootDomainLag = object.value("rootDomainLag", 0.0);
  faults.rootDomainNeverFollows = object.value("rootDomainNeverFollows", false);
  faults.pmsetHang = object.value("pmsetHang", false);
  if (object.contains("pmsetForkChild"))
    faults.pmsetForkChild = object.at("pmsetForkChild").get<double>();
  if (object.contains("pmsetExitStatus"))
    faults.pmsetExitStatus = object.at("pmsetExitStatus").get<int>();
  if (object.contains("pmsetOutputBytes"))
    faults.pmsetOutputBytes = object.at("pmsetOutputBytes").get<std::uint64_t>();
  faults.pmsetInvalidUtf8 = object.value("pmsetInvalidUtf8", false);
  return faults;
}

}  // namespace

Machine defaultMachine() {
  Machine machine;
  machine.rootDomain["SleepDisabled"] = false;
  machine.rootDomain["AppleClamshellState"] = false;
  setBattery(machine, 80, false);
  machine.displays.push_back(Display{1, true});
  machine.nextDisplayId = 2;
  machine.consoleUid = 501;
  return machine;
}

json toJson(const Machine& machine) {
  json document = machine.sections.is_object() ? machine.sections : json::object();
  document["format"] = 1;
  document["lid"] = machine.lidClosed ? "closed" : "open";
  document["asleep"] = machine.asleep;
  document["rootDomain"] = mapToJson(machine.rootDomain);
  if (machine.pendingSleepDisabled) {
    document["pendingSleepDisabled"] = {{"value", machine.pendingSleepDisabled->value},
                                        {"effectiveAt", machine.pendingSleepDisabled->effectiveAt}};
  } else {
    document.erase("pendingSleepDisabled");
  }
  document["pmset"] = {{"sleepDisabled", machine.pmsetSleepDisabled}};

  json sources = json(nullptr);
  if (machine.powerSources.sources) {
    sources = json::array();
    for (const auto& source : *machine.powerSources.sources) {
      sources.push_back(source ? mapToJson(*source) : json(nullptr));
    }
  }
  document["powerSources"] = {{"providingType", machine.powerSources.providingType
                                                    ? json(*machine.powerSources.providingType)
                                                    : json(nullptr)},
                              {"sources", sources}};

  json displays = json::array();
  for (const auto& display : machine.displays) {
    displays.push_back({{"id", display.id}, {"builtin", display.builtin}});
  }
  document["displays"] = displays;
  document["nextDisplayId"] = machine.nextDisplayId;
  document["thermalState"] = machine.thermalState;
  document["consoleUid"] = machine.consoleUid;
  document["runningApplications"] = machine.runningApplications;

  json assertions = json::array();
  for (const auto& assertion : machine.assertions) {
    assertions.push_back({{"id", assertion.id},
                          {"properties", mapToJson(assertion.properties)},
                          {"renewedAt", assertion.renewedAt},
                          {"pid", assertion.pid}});
  }
  document["assertions"] = assertions;
  document["nextAssertionId"] = machine.nextAssertionId;
  document["clock"] = {{"continuousOffset", machine.continuousOffset},
                       {"uptimeOffset", machine.uptimeOffset}};
  if (machine.frozenClock) {
    document["clock"]["frozen"] = {{"continuous", machine.frozenClock->continuous},
                                   {"uptime", machine.frozenClock->uptime}};
  }
  document["faults"] = faultsToJson(machine.faults);
  return document;
}

Machine machineFromJson(const json& document) {
  // A document that is not an object fails here with the library's own type error.
  (void)document.get_ref<const json::object_t&>();
  Machine machine;
  machine.lidClosed = document.value("lid", std::string("open")) == "closed";
  machine.asleep = document.value("asleep", false);
  if (document.contains("rootDomain")) {
    machine.rootDomain = mapFromJson<PropertyValue>(document.at("rootDomain"));
  }
  if (document.contains("pendingSleepDisabled")) {
    const json& pending = document.at("pendingSleepDisabled");
    machine.pendingSleepDisabled = PendingSleepDisabled{pending.at("value").get<bool>(),
                                                        pending.at("effectiveAt").get<double>()};
  }
  if (document.contains("pmset")) {
    machine.pmsetSleepDisabled = document.at("pmset").value("sleepDisabled", false);
  }
  if (document.contains("powerSources")) {
    const json& power = document.at("powerSources");
    if (power.contains("providingType") && power.at("providingType").is_string()) {
      machine.powerSources.providingType = power.at("providingType").get<std::string>();
    }
    if (power.contains("sources") && power.at("sources").is_array()) {
      machine.powerSources.sources.emplace();
      for (const auto& source : power.at("sources")) {
        if (source.is_object()) {
          machine.powerSources.sources->push_back(mapFromJson<SourceValue>(source));
        } else {
          machine.powerSources.sources->push_back(std::nullopt);
        }
      }
    }
  }
  if (document.contains("displays")) {
    for (const auto& display : document.at("displays")) {
      machine.displays.push_back(
          Display{display.at("id").get<std::uint32_t>(), display.value("builtin", false)});
    }
  }
  machine.nextDisplayId = document.value("nextDisplayId", std::uint32_t{1});
  machine.thermalState = document.value("thermalState", 0);
  machine.consoleUid = document.value("consoleUid", std::uint32_t{0});
  if (document.contains("runningApplications")) {
    machine.runningApplications =
        document.at("runningApplications").get<std::vector<std::string>>();
  }
  if (document.contains("assertions")) {
    for (const auto& entry : document.at("assertions")) {
      Assertion assertion;
      assertion.id = entry.at("id").get<std::uint32_t>();
      if (entry.contains("properties")) {
        assertion.properties = mapFromJson<AssertionValue>(entry.at("properties"));
      }
      assertion.renewedAt = entry.value("renewedAt", 0.0);
      assertion.pid = entry.value("pid", std::int64_t{0});
      machine.assertions.push_back(std::move(assertion));
    }
  }
  machine.nextAssertionId = document.value("nextAssertionId", std::uint32_t{1});
  if (document.contains("clock")) {
    machine.continuousOffset = document.at("clock").value("continuousOffset", 0.0);
    machine.uptimeOffset = document.at("clock").value("uptimeOffset", 0.0);
    if (document.at("clock").contains("frozen")) {
      const json& frozen = document.at("clock").at("frozen");
      machine.frozenClock =
          FrozenClock{frozen.at("continuous").get<double>(), frozen.at("uptime").get<double>()};
    }
  }
  if (document.contains("faults")) machine.faults = faultsFromJson(document.at("faults"));

  for (const auto& [key, value] : document.items()) {
    if (std::find(kKnownSections.begin(), kKnownSections.end(), key) == kKnownSections.end()) {
      machine.sections[key] = value;
    }
  }
  return machine;
}

double realContinuousSeconds() { return clockSeconds(CLOCK_BOOTTIME); }
double realUptimeSeconds() { return clockSeconds(CLOCK_MONOTONIC); }
double continuousNow(const Machine& machine) {
  if (machine.frozenClock) return machine.frozenClock->continuous;
  return realContinuousSeconds() + machine.continuousOffset;
}
double uptimeNow(const Machine& machine) {
  if (machine.frozenClock) return machine.frozenClock->uptime;
  return realUptimeSeconds() + machine.uptimeOffset;
}

void settle(Machine& machine, double now) {
  // Sums of decimal fractions of seconds are not exact in binary.
  constexpr double kTolerance = 1e-9;
  if (machine.pendingSleepDisabled &&
      now + kTolerance >= machine.pendingSleepDisabled->effectiveAt) {
    machine.rootDomain["SleepDisabled"] = machine.pendingSleepDisabled->value;
    machine.pendingSleepDisabled.reset();
  }
  std::erase_if(machine.assertions, [now](const Assertion& assertion) {
    auto after = lapseAfter(assertion);
    return after && now + kTolerance >= assertion.renewedAt + *after;
  });
}

void advanceClock(Machine& machine, double seconds) {
  machine.continuousOffset += seconds;
  if (!machine.asleep) machine.uptimeOffset += seconds;
  if (machine.frozenClock) {
    machine.frozenClock->continuous += seconds;
    if (!machine.asleep) machine.frozenClock->uptime += seconds;
  }
}

void freezeClock(Machine& machine) {
  if (!machine.frozenClock)
    machine.frozenClock = FrozenClock{continuousNow(machine), uptimeNow(machine)};
}

void runClock(Machine& machine) {
  if (!machine.frozenClock) return;
  machine.continuousOffset = machine.frozenClock->continuous - realContinuousSeconds();
  machine.uptimeOffset = machine.frozenClock->uptime - realUptimeSeconds();
  machine.frozenClock.reset();
}

bool rootDomainSleepDisabled(const Machine& machine) {
  auto it = machine.rootDomain.find("SleepDisabled");
  return it != machine.rootDomain.end() && std::holds_alternative<bool>(it->second) &&
         std::get<bool>(it->second);
}

void setLidClosed(Machine& machine, bool closed) {
  if (closed && !machine.lidClosed) {
    // The decision is taken at the moment the lid closes, and only then.
    machine.asleep = !rootDomainSleepDisabled(machine);
  }
  if (!closed) machine.asleep = false;
  machine.lidClosed = closed;
  machine.rootDomain["AppleClamshellState"] = closed;
}

void requestSleep(Machine& machine) {
  if (!rootDomainSleepDisabled(machine)) machine.asleep = true;
}

void setSleepDisabled(Machine& machine, bool disabled) {
  machine.pmsetSleepDisabled = disabled;
  machine.rootDomain["SleepDisabled"] = disabled;
  machine.pendingSleepDisabled.reset();
}

void pmsetSetSleepDisabled(Machine& machine, bool disabled, double now) {
  machine.pmsetSleepDisabled = disabled;
  if (machine.faults.rootDomainNeverFollows) return;
  if (machine.faults.rootDomainLag > 0) {
    machine.pendingSleepDisabled =
        PendingSleepDisabled{disabled, now + machine.faults.rootDomainLag};
  } else {
    machine.pendingSleepDisabled.reset();
    machine.rootDomain["SleepDisabled"] = disabled;
  }
}

void setBattery(Machine& machine, int percent, bool onBattery) {
  const std::string type = onBattery ? "Battery Power" : "AC Power";
  machine.powerSources.providingType = type;
  SourceDescription battery{
      {"Type", std::string("InternalBattery")},
      {"Name", std::string("InternalBattery-0")},
      {"Is Present", true},
      {"Power Source State", type},
      {"Is Charging", !onBattery && percent < 100},
      {"Current Capacity", std::int64_t{percent}},
      {"Max Capacity", std::int64_t{100}},
  };
  machine.powerSources.sources = std::vector<std::optional<SourceDescription>>{battery};
}

MacActivity macNow(const Machine& machine) {
  if (machine.asleep) return MacActivity::kAsleep;
  return machine.lidClosed ? MacActivity::kAwakeLidClosed : MacActivity::kAwake;
}

std::string describe(MacActivity activity) {
  switch (activity) {
    case MacActivity::kAsleep:
      return "asleep";
    case MacActivity::kAwakeLidClosed:
      return "awake, lid closed";
    case MacActivity::kAwake:
      break;
  }
  return "awake";
}

const Assertion* findAssertion(const Machine& machine, std::uint32_t id) {
  for (const auto& assertion : machine.assertions) {
    if (assertion.id == id) return &assertion;
  }
  return nullptr;
}

std::optional<double> lapseAfter(const Assertion& assertion) {
  auto action = assertion.properties.find("TimeoutAction");
  if (action == assertion.properties.end() ||
      action->second != AssertionValue(std::string("TimeoutActionRelease"))) {
    return std::nullopt;
  }
  auto timeout = assertion.properties.find("TimeoutSeconds");
  if (timeout == assertion.properties.end()) return std::nullopt;
  double seconds = 0;
  if (const auto* i = std::get_if<std::int64_t>(&timeout->second)) {
    seconds = static_cast<double>(*i);
  } else if (const auto* d = std::get_if<double>(&timeout->second)) {
    seconds = *d;
  } else {
    return std::nullopt;
  }
  if (!(seconds > 0)) return std::nullopt;
  return seconds;
}

}  // namespace dravik::platform::sim
