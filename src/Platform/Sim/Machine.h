#pragma once
// The simulated MacBook's state as one value, and the rules that change it.
//
// A Machine is what the state file holds (see MachineState for how it is read and
// changed). Known sections are typed fields; every other top-level section of the file is
// kept in `sections` untouched, so other tools can store their own records beside ours.
//
// Lid model (what a real Mac does):
//   lid open   --close, root domain "SleepDisabled" is true-->  awake with the lid closed
//   lid open   --close, anything else------------------------>  asleep
//   any        --open------------------------------------------>  awake
//   lid closed, awake --"SleepDisabled" turned off------------>  still awake (nothing asks
//                                                                 it to sleep)
//   lid closed, awake --a sleep request (sleep-now)----------->  asleep unless SleepDisabled
// Time: the simulated clocks are the real ones plus offsets kept here, or, while frozen,
// fixed values that move only when advanced (for tests that need exact instants). While
// the Mac is asleep only the continuous clock moves; uptime does not count sleep.
// Deadlines (lapses, delayed changes) are met once the clock is within a nanosecond of them.

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Platform/PowerAssertions.h"
#include "Platform/PowerRegistry.h"
#include "Platform/PowerSources.h"

namespace dravik::platform::sim {

// Return codes as the platform reports them (32-bit patterns held in signed integers).
inline constexpr std::int32_t kReturnError = static_cast<std::int32_t>(0xe00002bc);
inline constexpr std::int32_t kReturnBadArgument = static_cast<std::int32_t>(0xe00002c2);
inline constexpr std::int32_t kReturnNotFound = static_cast<std::int32_t>(0xe00002f0);
// The display services' generic failure.
inline constexpr std::int32_t kDisplayErrorFailure = 1000;

struct Display {
  std::uint32_t id = 0;
  bool builtin = false;
};

struct PowerSourcesState {
  // "AC Power", "Battery Power"; absent when the type cannot be read.
  std::optional<std::string> providingType;
  // Absent when the platform gives no list; an absent entry is a source without description.
  std::optional<std::vector<std::optional<SourceDescription>>> sources;
};

struct Assertion {
  std::uint32_t id = 0;
  AssertionProperties properties;
  // Simulated continuous seconds when it was made or its timeout last restarted.
  double renewedAt = 0;
  std::int64_t pid = 0;  // the process that made it, for `show`
};

// A root-domain "SleepDisabled" change that pmset made and the kernel has not shown yet.
struct PendingSleepDisabled {
  bool value = false;
  double effectiveAt = 0;  // simulated continuous seconds
};

struct FrozenClock {
  double continuous = 0;
  double uptime = 0;
};

// Injected faults; the defaults mean "behave normally". Codes of 0 mean "no fault".
struct Faults {
  bool rootDomainMissing = false;             // matchRootDomain() finds nothing
  std::int32_t openReturns = 0;               // open() returns this code
  std::int32_t displayCountFails = 0;         // the counting display-list call returns this
  std::int32_t displayListFails = 0;          // the filling display-list call returns this
  std::optional<std::uint32_t> displayCount;  // the counting call reports this many
  bool powerSourcesAbsent = false;            // no power-source information at all
  std::int32_t assertionCreateReturns = 0;
  std::int32_t assertionSetPropertyReturns = 0;
  std::int32_t assertionReleaseReturns = 0;
  double rootDomainLag = 0;                       // seconds before the root domain follows pmset
  bool rootDomainNeverFollows = false;            // pmset changes its own setting only
  bool pmsetHang = false;                         // pmset sleeps forever, ignoring SIGTERM
  std::optional<double> pmsetForkChild;           // a child holds pmset's stdout this many seconds
  std::optional<int> pmsetExitStatus;             // pmset changes nothing and exits with this
  std::optional<std::uint64_t> pmsetOutputBytes;  // pmset writes exactly this many bytes
  bool pmsetInvalidUtf8 = false;                  // the report carries invalid UTF-8 sequences

  bool operator==(const Faults&) const = default;
};

struct Machine {
  bool lidClosed = false;
  bool asleep = false;
  // The root power domain's registry properties.
  std::map<std::string, PropertyValue> rootDomain;
  std::optional<PendingSleepDisabled> pendingSleepDisabled;
  // What pmset reports as "SleepDisabled".
  bool pmsetSleepDisabled = false;
  PowerSourcesState powerSources;
  std::vector<Display> displays;
  std::uint32_t nextDisplayId = 1;
  int thermalState = 0;
  std::uint32_t consoleUid = 0;
  std::vector<std::string> runningApplications;
  std::vector<Assertion> assertions;
  std::uint32_t nextAssertionId = 1;
  double continuousOffset = 0;
  double uptimeOffset = 0;
  // Set while the simulated clocks stand still: the values they show.
  std::optional<FrozenClock> frozenClock;
  Faults faults;
  // Every other top-level section of the state file (an object), preserved as it is.
  nlohmann::json sections = nlohmann::json::object();
};

// A new machine as `dravik-machine create` makes it: lid open, 80 % on AC power, the
// built-in display only, thermal state 0, console uid 501, sleep enabled.
Machine defaultMachine();

nlohmann::json toJson(const Machine& machine);
// Throws the JSON library's exceptions for a document that is not a machine state. Known
// sections that are missing take their defaults.
Machine machineFromJson(const nlohmann::json& document);

// The simulated clocks, given the machine's offsets.
double realContinuousSeconds();  // CLOCK_BOOTTIME
double realUptimeSeconds();      // CLOCK_MONOTONIC
double continuousNow(const Machine& machine);
double uptimeNow(const Machine& machine);

// Brings the machine up to `now` (simulated continuous seconds): a due root-domain change
// takes effect and lapsed assertions are dropped.
void settle(Machine& machine, double now);
// Moves the simulated clocks forward by `seconds` (>= 0).
void advanceClock(Machine& machine, double seconds);
// Stops the simulated clocks at their current values, or lets them run on from there.
void freezeClock(Machine& machine);
void runClock(Machine& machine);

void setLidClosed(Machine& machine, bool closed);
// Something asks the Mac to sleep now (the sleep menu, `pmset sleepnow`).
void requestSleep(Machine& machine);
// Sets the whole system setting: what pmset reports and the root domain, at once.
void setSleepDisabled(Machine& machine, bool disabled);
// What `pmset -a disablesleep` does at simulated time `now`.
void pmsetSetSleepDisabled(Machine& machine, bool disabled, double now);
// One internal battery at `percent` % and the providing type.
void setBattery(Machine& machine, int percent, bool onBattery);
// True when the root domain's "SleepDisabled" is the boolean true.
bool rootDomainSleepDisabled(const Machine& machine);

enum class MacActivity { kAsleep, kAwakeLidClosed, kAwake };
// What the Mac is doing now.
MacActivity macNow(const Machine& machine);
// "asleep", "awake, lid closed", "awake".
std::string describe(MacActivity activity);

// The assertion with this id, or null.
const Assertion* findAssertion(const Machine& machine, std::uint32_t id);
// The seconds after `renewedAt` at which the assertion lapses, or absent when it never does
// (no numeric "TimeoutSeconds" above 0, or an action other than "TimeoutActionRelease").
std::optional<double> lapseAfter(const Assertion& assertion);

}  // namespace dravik::platform::sim
