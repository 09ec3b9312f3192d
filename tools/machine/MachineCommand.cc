#include "MachineCommand.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <functional>
#include <iomanip>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "Platform/MachineRoot.h"
#include "Platform/Sim/MachineState.h"
#include "Platform/Sim/SimMachine.h"
#include "Platform/Sim/SimServiceManagement.h"
#include "QuellanServiceProtocol/ServiceProtocol.h"

namespace dravik::platform::sim {
namespace {

constexpr const char* kUsageLine =
    "usage: dravik-machine [--root DIR] <command> (dravik-machine help lists the commands)";

constexpr const char* kHelp =
    "usage: dravik-machine [--root DIR] <command>   (or DRAVIK_MACHINE=DIR)\n"
    "commands:\n"
    "  create [--force] [--pmset PATH]      make a machine (lid open, 80 % on AC, built-in\n"
    "                                       display, thermal 0, console uid 501, sleep on)\n"
    "  lid open|close\n"
    "  sleep-now                            ask the Mac to sleep (refused while\n"
    "                                       SleepDisabled is set)\n"
    "  battery N [--on-battery|--on-ac]     one internal battery at N %\n"
    "  battery none                         no battery (AC power)\n"
    "  display add [--builtin] | remove [ID] | none\n"
    "  thermal N\n"
    "  console UID                          0 = nobody at the console\n"
    "  app run|quit BUNDLE-ID\n"
    "  sleep-disabled 0|1                   the system setting (pmset and root domain)\n"
    "  property NAME bool|int|double|string VALUE\n"
    "  property NAME unset                  a root-domain property\n"
    "  clock advance SECONDS | freeze | run  move time on; stop it; let it run again\n"
    "  fault NAME [VALUE] | fault clear [NAME]\n"
    "  install-app --from DIR               install Quellan Compatibility.app from the\n"
    "                                       signed programs in DIR (the build's bin/)\n"
    "  service show                         registered daemons, their state and pid\n"
    "  service approve|revoke PLIST         the user's switch in Login Items\n"
    "  show                                 the state, and what the Mac does now\n"
    "  json                                 the state as JSON\n"
    "faults:\n"
    "  root-domain-missing, open-returns CODE, display-count-fails CODE,\n"
    "  display-list-fails CODE, display-count N, power-sources-absent,\n"
    "  assertion-create-returns CODE, assertion-set-property-returns CODE,\n"
    "  assertion-release-returns CODE, root-domain-lag SECONDS, root-domain-never-follows,\n"
    "  pmset-hang, pmset-fork-child [SECONDS], pmset-exit STATUS, pmset-output-bytes N,\n"
    "  pmset-invalid-utf8\n"
    "CODE is decimal or 0x followed by up to 8 hexadecimal digits.\n";

// Bad input: exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A command that could not be carried out: exit status 1.
struct CommandError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

template <typename Number>
std::optional<Number> parseNumber(const std::string& text) {
  Number value{};
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::int64_t integerArgument(const std::string& text, const std::string& what, std::int64_t min,
                             std::int64_t max) {
  auto value = parseNumber<std::int64_t>(text);
  if (!value || *value < min || *value > max) {
    throw UsageError(what + " must be a whole number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ", not \"" + text + "\"");
  }
  return *value;
}

double secondsArgument(const std::string& text, const std::string& what) {
  auto value = parseNumber<double>(text);
  if (!value || !std::isfinite(*value) || *value < 0) {
    throw UsageError(what + " must be a number of seconds, 0 or more, not \"" + text + "\"");
  }
  return *value;
}

// A platform return code: decimal (may be negative) or a 32-bit pattern in hexadecimal.
std::int32_t codeArgument(const std::string& text) {
  if (text.size() > 2 && (text.starts_with("0x") || text.starts_with("0X"))) {
    std::uint32_t bits = 0;
    const char* begin = text.data() + 2;
    auto [end, error] = std::from_chars(begin, text.data() + text.size(), bits, 16);
    if (error == std::errc() && end == text.data() + text.size()) {
      return static_cast<std::int32_t>(bits);
    }
  } else if (auto value = parseNumber<std::int32_t>(text)) {
    return *value;
  }
  throw UsageError("a code must be a 32-bit number (decimal or 0x...), not \"" + text + "\"");
}

bool flagArgument(const std::string& text, const std::string& what) {
  if (text == "0") return false;
  if (text == "1") return true;
  throw UsageError(what + " must be 0 or 1, not \"" + text + "\"");
}

void expectCount(const std::vector<std::string>& args, std::size_t min, std::size_t max,
                 const std::string& form) {
  if (args.size() < min || args.size() > max) throw UsageError("expected: " + form);
}

struct FaultKind {
  const char* name;
  const char* value;  // what the value is, or nullptr for a switch
  std::function<void(Faults&, const std::optional<std::string>&)> set;
  std::function<void(Faults&)> clear;
};

const std::vector<FaultKind>& faultKinds() {
  using V = const std::optional<std::string>&;
  static const std::vector<FaultKind> kinds = {
      {"root-domain-missing", nullptr, [](Faults& f, V) { f.rootDomainMissing = true; },
       [](Faults& f) { f.rootDomainMissing = false; }},
      {"open-returns", "CODE", [](Faults& f, V v) { f.openReturns = codeArgument(*v); },
       [](Faults& f) { f.openReturns = 0; }},
      {"display-count-fails", "CODE",
       [](Faults& f, V v) { f.displayCountFails = codeArgument(*v); },
       [](Faults& f) { f.displayCountFails = 0; }},
      {"display-list-fails", "CODE", [](Faults& f, V v) { f.displayListFails = codeArgument(*v); },
       [](Faults& f) { f.displayListFails = 0; }},
      {"display-count", "N",
       [](Faults& f, V v) {
         f.displayCount =
             static_cast<std::uint32_t>(integerArgument(*v, "the display count", 0, UINT32_MAX));
       },
       [](Faults& f) { f.displayCount.reset(); }},
      {"power-sources-absent", nullptr, [](Faults& f, V) { f.powerSourcesAbsent = true; },
       [](Faults& f) { f.powerSourcesAbsent = false; }},
      {"assertion-create-returns", "CODE",
       [](Faults& f, V v) { f.assertionCreateReturns = codeArgument(*v); },
       [](Faults& f) { f.assertionCreateReturns = 0; }},
      {"assertion-set-property-returns", "CODE",
       [](Faults& f, V v) { f.assertionSetPropertyReturns = codeArgument(*v); },
       [](Faults& f) { f.assertionSetPropertyReturns = 0; }},
      {"assertion-release-returns", "CODE",
       [](Faults& f, V v) { f.assertionReleaseReturns = codeArgument(*v); },
       [](Faults& f) { f.assertionReleaseReturns = 0; }},
      {"root-domain-lag", "SECONDS",
       [](Faults& f, V v) { f.rootDomainLag = secondsArgument(*v, "the lag"); },
       [](Faults& f) { f.rootDomainLag = 0; }},
      {"root-domain-never-follows", nullptr, [](Faults& f, V) { f.rootDomainNeverFollows = true; },
       [](Faults& f) { f.rootDomainNeverFollows = false; }},
      {"pmset-hang", nullptr, [](Faults& f, V) { f.pmsetHang = true; },
       [](Faults& f) { f.pmsetHang = false; }},
      {"pmset-fork-child", "[SECONDS]",
       [](Faults& f, V v) { f.pmsetForkChild = v ? secondsArgument(*v, "the hold") : 60.0; },
       [](Faults& f) { f.pmsetForkChild.reset(); }},
      {"pmset-exit", "STATUS",
       [](Faults& f, V v) {
         f.pmsetExitStatus = static_cast<int>(integerArgument(*v, "the exit status", 0, 255));
       },
       [](Faults& f) { f.pmsetExitStatus.reset(); }},
      {"pmset-output-bytes", "N",
       [](Faults& f, V v) {
         f.pmsetOutputBytes = static_cast<std::uint64_t>(
             integerArgument(*v, "the output size", 0, std::int64_t{1} << 32));
       },
       [](Faults& f) { f.pmsetOutputBytes.reset(); }},
      {"pmset-invalid-utf8", nullptr, [](Faults& f, V) { f.pmsetInvalidUtf8 = true; },
       [](Faults& f) { f.pmsetInvalidUtf8 = false; }},
  };
  return kinds;
}

const FaultKind& faultKind(const std::string& name) {
  for (const auto& kind : faultKinds()) {
    if (name == kind.name) return kind;
  }
  throw UsageError("unknown fault \"" + name + "\"");
}

std::string codeText(std::int32_t code) {
  std::ostringstream text;
  text << "0x" << std::hex << std::setw(8) << std::setfill('0') << static_cast<std::uint32_t>(code);
  return text.str();
}

std::string valueText(const auto& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, std::string>) {
          return "\"" + v + "\"";
        } else {
          std::ostringstream text;
          text << v;
          return text.str();
        }
      },
      value);
}

std::string mapText(const auto& map) {
  std::string text;
  for (const auto& [key, value] : map) {
    if (!text.empty()) text += ", ";
    text += key + " = " + valueText(value);
  }
  return text.empty() ? "(empty)" : text;
}

std::string faultsText(const Faults& f) {
  std::vector<std::string> parts;
  if (f.rootDomainMissing) parts.push_back("root-domain-missing");
  if (f.openReturns) parts.push_back("open-returns " + codeText(f.openReturns));
  if (f.displayCountFails) parts.push_back("display-count-fails " + codeText(f.displayCountFails));
  if (f.displayListFails) parts.push_back("display-list-fails " + codeText(f.displayListFails));
  if (f.displayCount) parts.push_back("display-count " + std::to_string(*f.displayCount));
  if (f.powerSourcesAbsent) parts.push_back("power-sources-absent");
  if (f.assertionCreateReturns)
    parts.push_back("assertion-create-returns " + codeText(f.assertionCreateReturns));
  if (f.assertionSetPropertyReturns)
    parts.push_back("assertion-set-property-returns " + codeText(f.assertionSetPropertyReturns));
  if (f.assertionReleaseReturns)
    parts.push_back("assertion-release-returns " + codeText(f.assertionReleaseReturns));
  std::ostringstream number;
  if (f.rootDomainLag) {
    number << f.rootDomainLag;
    parts.push_back("root-domain-lag " + number.str() + " s");
  }
  if (f.rootDomainNeverFollows) parts.push_back("root-domain-never-follows");
  if (f.pmsetHang) parts.push_back("pmset-hang");
  if (f.pmsetForkChild) {
    std::ostringstream hold;
    hold << *f.pmsetForkChild;
    parts.push_back("pmset-fork-child " + hold.str() + " s");
  }
  if (f.pmsetExitStatus) parts.push_back("pmset-exit " + std::to_string(*f.pmsetExitStatus));
  if (f.pmsetOutputBytes)
    parts.push_back("pmset-output-bytes " + std::to_string(*f.pmsetOutputBytes));
  if (f.pmsetInvalidUtf8) parts.push_back("pmset-invalid-utf8");
  if (parts.empty()) return "none";
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

void show(const std::string& root, const Machine& m, std::ostream& out) {
  const double now = continuousNow(m);
  out << std::fixed << std::setprecision(3);
  out << "machine root: " << root << "\n";
  out << "the Mac now: " << describe(macNow(m)) << "\n";
  out << "lid: " << (m.lidClosed ? "closed" : "open") << "\n";
  out << "root domain: " << mapText(m.rootDomain) << "\n";
  out << "pmset reports: SleepDisabled " << (m.pmsetSleepDisabled ? 1 : 0) << "\n";
  if (m.pendingSleepDisabled) {
    out << "pending: root domain SleepDisabled becomes "
        << (m.pendingSleepDisabled->value ? "true" : "false") << " in "
        << m.pendingSleepDisabled->effectiveAt - now << " s\n";
  }
  out << "power: providing type "
      << (m.powerSources.providingType ? "\"" + *m.powerSources.providingType + "\"" : "absent")
      << "\n";
  if (!m.powerSources.sources) {
    out << "  no source list\n";
  } else if (m.powerSources.sources->empty()) {
    out << "  no power sources\n";
  } else {
    for (const auto& source : *m.powerSources.sources) {
      out << "  source: " << (source ? mapText(*source) : "no description") << "\n";
    }
  }
  out << "displays:";
  if (m.displays.empty()) out << " none";
  for (const auto& display : m.displays) {
    out << " " << display.id << (display.builtin ? " (built-in)" : " (external)");
  }
  out << "\n";
  out << "thermal state: " << m.thermalState << "\n";
  out << "console uid: " << m.consoleUid << "\n";
  out << "running applications:";
  if (m.runningApplications.empty()) out << " none";
  for (const auto& app : m.runningApplications) out << " " << app;
  out << "\n";
  out << "assertions:";
  if (m.assertions.empty()) out << " none";
  out << "\n";
  for (const auto& assertion : m.assertions) {
    out << "  " << assertion.id << " (pid " << assertion.pid
        << "): " << mapText(assertion.properties);
    if (auto after = lapseAfter(assertion)) {
      out << "; lapses in " << assertion.renewedAt + *after - now << " s";
    }
    out << "\n";
  }
  out << "clock: continuous " << continuousNow(m) << " s, uptime " << uptimeNow(m) << " s ("
      << (m.frozenClock ? "frozen" : "running") << "; offsets " << m.continuousOffset << " s, "
      << m.uptimeOffset << " s)\n";
  out << "faults: " << faultsText(m.faults) << "\n";
  if (!m.sections.empty()) {
    out << "other sections:";
    for (const auto& [key, value] : m.sections.items()) out << " " << key;
    out << "\n";
  }
}

void setProperty(Machine& m, const std::vector<std::string>& args) {
  const std::string form = "property NAME bool|int|double|string VALUE, or property NAME unset";
  expectCount(args, 3, 4, form);
  const std::string& name = args[1];
  const std::string& type = args[2];
  if (type == "unset") {
    expectCount(args, 3, 3, form);
    m.rootDomain.erase(name);
    return;
  }
  expectCount(args, 4, 4, form);
  const std::string& text = args[3];
  if (type == "bool") {
    if (text == "true" || text == "1") {
      m.rootDomain[name] = true;
    } else if (text == "false" || text == "0") {
      m.rootDomain[name] = false;
    } else {
      throw UsageError("a bool must be true, false, 1 or 0, not \"" + text + "\"");
    }
  } else if (type == "int") {
    auto value = parseNumber<std::int64_t>(text);
    if (!value) throw UsageError("not a whole number: \"" + text + "\"");
    m.rootDomain[name] = *value;
  } else if (type == "double") {
    auto value = parseNumber<double>(text);
    if (!value || !std::isfinite(*value)) throw UsageError("not a number: \"" + text + "\"");
    m.rootDomain[name] = *value;
  } else if (type == "string") {
    m.rootDomain[name] = text;
  } else {
    throw UsageError("unknown property type \"" + type + "\" (bool, int, double, string, unset)");
  }
}

// Runs a command that changes the machine; `change` may throw UsageError before anything is
// written.
int change(MachineState& state, const std::function<void(Machine&)>& edit) {
  state.update(edit);
  return 0;
}

int create(const std::string& root, const std::vector<std::string>& args,
           const std::string& programDirectory, std::ostream& out) {
  MachineOptions options;
  options.pmsetProgram = programDirectory + "/pmset";
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--force") {
      options.replace = true;
    } else if (args[i] == "--pmset" && i + 1 < args.size()) {
      options.pmsetProgram = args[++i];
    } else {
      throw UsageError("expected: create [--force] [--pmset PATH]");
    }
  }
  struct stat info {};
  if (::stat(options.pmsetProgram.c_str(), &info) != 0) {
    throw CommandError("no pmset stand-in at " + options.pmsetProgram + "; pass --pmset PATH");
  }
  createMachine(root, options);
  out << "created a machine at " << root << "\n";
  return 0;
}

// The companion app and its daemon, as the build makes them.
constexpr const char* kQuellanAppName = "Quellan Compatibility.app";
constexpr const char* kQuellanPrograms[] = {"QuellanCompatibility", "QuellanSleepService",
                                            "quellan-compat-cli"};
constexpr const char* kQuellanDaemonProgram = "QuellanSleepService";

int installQuellanApp(const std::string& root, const std::vector<std::string>& args,
                      std::ostream& out) {
  if (args.size() != 3 || args[1] != "--from" || args[2].empty()) {
    throw UsageError("expected: install-app --from DIR");
  }
  AppBundle app;
  app.appName = kQuellanAppName;
  for (const char* program : kQuellanPrograms) {
    const std::string path = args[2] + "/" + program;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw CommandError("no program at " + path);
    app.programs.push_back(path);
  }
  app.daemons.push_back({quellan::CompatibilityService::plist(), kQuellanDaemonProgram,
                         quellan::CompatibilityService::name()});
  const std::string bundle = installApp(root, app);
  out << "installed " << bundle << " in " << root << "\n";
  return 0;
}

int service(MachineState& state, const std::vector<std::string>& args, std::ostream& out) {
  const std::string form = "service show, or service approve|revoke PLIST";
  expectCount(args, 2, 3, form);
  if (args[1] == "show") {
    expectCount(args, 2, 2, form);
    const Machine m = state.read();
    const auto all = registrations(m);
    if (all.empty()) out << "no registered daemons\n";
    for (const auto& registration : all) {
      out << registration.plist << ": "
          << statusName(registration.approved ? ServiceStatus::enabled
                                              : ServiceStatus::requiresApproval)
          << ", "
          << (registration.pid ? "running (pid " + std::to_string(*registration.pid) + ")"
                               : std::string("not running"))
          << "\n  program " << registration.program << "\n";
    }
    // Exits are kept after their registration is gone: they tell how a removal ended.
    auto exits = m.sections.find(kServicesSection);
    if (exits != m.sections.end() && exits->contains("exits")) {
      for (const auto& [plist, record] : exits->at("exits").items()) {
        if (auto exit = lastExit(m, plist)) {
          out << plist << ": last run (pid " << exit->pid << ") " << exit->status << "\n";
        }
      }
    }
    return 0;
  }
  if (args[1] == "approve" || args[1] == "revoke") {
    expectCount(args, 3, 3, form);
    const bool approve = args[1] == "approve";
    return change(state, [&](Machine& m) {
      try {
        setApproved(m, args[2], approve);
      } catch (const std::runtime_error& error) {
        throw CommandError(error.what());
      }
    });
  }
  throw UsageError("expected: " + form);
}

int run(const std::string& root, const std::vector<std::string>& args,
        const std::string& programDirectory, std::ostream& out) {
  const std::string& command = args[0];
  if (command == "create") return create(root, args, programDirectory, out);

  MachineState state(root);
  if (command == "show") {
    expectCount(args, 1, 1, "show");
    show(root, state.read(), out);
    return 0;
  }
  if (command == "json") {
    expectCount(args, 1, 1, "json");
    out << toJson(state.read()).dump(2) << "\n";
    return 0;
  }
  if (command == "lid") {
    expectCount(args, 2, 2, "lid open|close");
    if (args[1] != "open" && args[1] != "close") throw UsageError("expected: lid open|close");
    return change(state, [&](Machine& m) { setLidClosed(m, args[1] == "close"); });
  }
  if (command == "sleep-now") {
    expectCount(args, 1, 1, "sleep-now");
    return change(state, [](Machine& m) { requestSleep(m); });
  }
  if (command == "battery") {
    const std::string form = "battery N [--on-battery|--on-ac], or battery none";
    expectCount(args, 2, 3, form);
    if (args[1] == "none") {
      expectCount(args, 2, 2, form);
      return change(state, [](Machine& m) {
        m.powerSources.providingType = "AC Power";
        m.powerSources.sources.emplace();
      });
    }
    const auto percent = static_cast<int>(integerArgument(args[1], "the charge", 0, 1000));
    std::optional<bool> onBattery;
    if (args.size() == 3) {
      if (args[2] == "--on-battery") {
        onBattery = true;
      } else if (args[2] == "--on-ac") {
        onBattery = false;
      } else {
        throw UsageError("expected: " + form);
      }
    }
    return change(state, [&](Machine& m) {
      setBattery(m, percent, onBattery.value_or(m.powerSources.providingType == "Battery Power"));
    });
  }
  if (command == "display") {
    const std::string form = "display add [--builtin] | remove [ID] | none";
    expectCount(args, 2, 3, form);
    if (args[1] == "add") {
      if (args.size() == 3 && args[2] != "--builtin") throw UsageError("expected: " + form);
      const bool builtin = args.size() == 3;
      std::uint32_t id = 0;
      change(state, [&](Machine& m) {
        id = m.nextDisplayId++;
        m.displays.push_back(Display{id, builtin});
      });
      out << "display " << id << " added\n";
      return 0;
    }
    if (args[1] == "remove") {
      std::optional<std::uint32_t> id;
      if (args.size() == 3) {
        id = static_cast<std::uint32_t>(integerArgument(args[2], "the display id", 0, UINT32_MAX));
      }
      return change(state, [&](Machine& m) {
        auto it = m.displays.end();
        if (id) {
          it = std::find_if(m.displays.begin(), m.displays.end(),
                            [&](const Display& d) { return d.id == *id; });
          if (it == m.displays.end()) throw CommandError("no display " + std::to_string(*id));
        } else {
          auto last = std::find_if(m.displays.rbegin(), m.displays.rend(),
                                   [](const Display& d) { return !d.builtin; });
          if (last == m.displays.rend()) throw CommandError("no external display to remove");
          it = std::prev(last.base());
        }
        m.displays.erase(it);
      });
    }
    if (args[1] == "none") {
      expectCount(args, 2, 2, form);
      return change(state, [](Machine& m) { m.displays.clear(); });
    }
    throw UsageError("expected: " + form);
  }
  if (command == "thermal") {
    expectCount(args, 2, 2, "thermal N");
    const auto value =
        static_cast<int>(integerArgument(args[1], "the thermal state", INT32_MIN, INT32_MAX));
    return change(state, [&](Machine& m) { m.thermalState = value; });
  }
  if (command == "console") {
    expectCount(args, 2, 2, "console UID");
    const auto uid = static_cast<std::uint32_t>(integerArgument(args[1], "the uid", 0, UINT32_MAX));
    return change(state, [&](Machine& m) { m.consoleUid = uid; });
  }
  if (command == "app") {
    expectCount(args, 3, 3, "app run|quit BUNDLE-ID");
    const std::string& bundle = args[2];
    if (bundle.empty()) throw UsageError("the bundle identifier is empty");
    if (args[1] == "run") {
      return change(state, [&](Machine& m) {
        auto& apps = m.runningApplications;
        if (std::find(apps.begin(), apps.end(), bundle) == apps.end()) apps.push_back(bundle);
      });
    }
    if (args[1] == "quit") {
      return change(state, [&](Machine& m) { std::erase(m.runningApplications, bundle); });
    }
    throw UsageError("expected: app run|quit BUNDLE-ID");
  }
  if (command == "sleep-disabled") {
    expectCount(args, 2, 2, "sleep-disabled 0|1");
    const bool disabled = flagArgument(args[1], "the setting");
    return change(state, [&](Machine& m) { setSleepDisabled(m, disabled); });
  }
  if (command == "property") {
    return change(state, [&](Machine& m) { setProperty(m, args); });
  }
  if (command == "clock") {
    const std::string form = "clock advance SECONDS | freeze | run";
    expectCount(args, 2, 3, form);
    if (args[1] == "freeze" && args.size() == 2) return change(state, freezeClock);
    if (args[1] == "run" && args.size() == 2) return change(state, runClock);
    if (args[1] != "advance" || args.size() != 3) throw UsageError("expected: " + form);
    const double seconds = secondsArgument(args[2], "the time to advance");
    return change(state, [&](Machine& m) { advanceClock(m, seconds); });
  }
  if (command == "fault") {
    expectCount(args, 2, 3, "fault NAME [VALUE], or fault clear [NAME]");
    if (args[1] == "clear") {
      if (args.size() == 2) return change(state, [](Machine& m) { m.faults = Faults{}; });
      const FaultKind& kind = faultKind(args[2]);
      return change(state, [&](Machine& m) { kind.clear(m.faults); });
    }
    const FaultKind& kind = faultKind(args[1]);
    std::optional<std::string> value;
    if (args.size() == 3) value = args[2];
    const bool optional = kind.value != nullptr && kind.value[0] == '[';
    if (kind.value == nullptr && value) {
      throw UsageError("fault " + args[1] + " takes no value");
    }
    if (kind.value != nullptr && !optional && !value) {
      throw UsageError("expected: fault " + args[1] + " " + kind.value);
    }
    Faults probe;
    kind.set(probe, value);  // checks the value before anything is written
    return change(state, [&](Machine& m) { kind.set(m.faults, value); });
  }
  if (command == "service") return service(state, args, out);
  if (command == "install-app") return installQuellanApp(root, args, out);
  throw UsageError("unknown command \"" + command + "\"");
}

}  // namespace

int runMachineCommand(const std::vector<std::string>& arguments,
                      const std::string& programDirectory, std::ostream& out, std::ostream& err) {
  std::vector<std::string> args = arguments;
  std::string root = machineRoot();
  try {
    if (!args.empty() && args[0] == "--root") {
      if (args.size() < 2 || args[1].empty()) throw UsageError("--root needs a directory");
      root = args[1];
      args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) throw UsageError("no command");
    if (args[0] == "help" || args[0] == "--help") {
      out << kHelp;
      return 0;
    }
    if (root.empty()) {
      throw UsageError("no machine root: pass --root DIR or set DRAVIK_MACHINE");
    }
    return run(root, args, programDirectory, out);
  } catch (const UsageError& error) {
    err << "dravik-machine: " << error.what() << "\n" << kUsageLine << "\n";
    return 2;
  } catch (const std::exception& error) {
    err << "dravik-machine: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace dravik::platform::sim
