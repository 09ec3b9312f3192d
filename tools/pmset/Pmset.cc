// The simulated MacBook's pmset: `-g` prints the power settings report, `-a disablesleep
// 0|1` changes the "SleepDisabled" setting (root only), `sleepnow` asks the Mac to sleep.
//
// It finds its machine from its own location (<root>/usr/bin/pmset), never from the
// environment: the daemon starts it with a fixed three-variable environment. Faults set in
// the machine's state change how it behaves (see docs/simulated-machine.md).

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Sim/MachineState.h"

namespace {

using dravik::platform::sim::Machine;
using dravik::platform::sim::MachineState;

constexpr std::string_view kUsage =
    "usage: pmset -g\n"
    "       pmset -a disablesleep 0|1\n"
    "       pmset sleepnow\n";
constexpr std::string_view kSelf = "/usr/bin/pmset";

enum class Command { kReport, kDisableSleep, kSleepNow };

struct Invocation {
  Command command = Command::kReport;
  bool disabled = false;
};

std::optional<Invocation> parseArguments(const std::vector<std::string_view>& args) {
  if (args.size() == 1 && args[0] == "-g") return Invocation{Command::kReport, false};
  if (args.size() == 1 && args[0] == "sleepnow") return Invocation{Command::kSleepNow, false};
  if (args.size() == 3 && args[0] == "-a" && args[1] == "disablesleep" &&
      (args[2] == "0" || args[2] == "1")) {
    return Invocation{Command::kDisableSleep, args[2] == "1"};
  }
  return std::nullopt;
}

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

[[noreturn]] void fail(std::string_view message) {
  std::string line = "pmset: " + std::string(message) + "\n";
  writeAll(STDERR_FILENO, line);
  std::exit(1);
}

// <root> from <root>/usr/bin/pmset.
std::string machineRootFromSelf() {
  std::string path(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n < 0 || static_cast<std::size_t>(n) >= path.size()) fail("cannot find its own program");
  path.resize(static_cast<std::size_t>(n));
  if (path.size() < kSelf.size() ||
      path.compare(path.size() - kSelf.size(), kSelf.size(), kSelf) != 0) {
    fail("not installed at <machine root>" + std::string(kSelf) + " (runs from " + path + ")");
  }
  return path.substr(0, path.size() - kSelf.size());
}

void sleepSeconds(double seconds) {
  timespec remaining{};
  remaining.tv_sec = static_cast<time_t>(seconds);
  remaining.tv_nsec = static_cast<long>((seconds - static_cast<double>(remaining.tv_sec)) * 1e9);
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

std::string settingLine(std::string_view key, std::string_view value) {
  std::string line = " " + std::string(key);
  line.append(key.size() < 21 ? 21 - key.size() : 1, ' ');
  return line + std::string(value) + "\n";
}

std::string report(const Machine& machine, bool invalidUtf8) {
  std::string text = "System-wide power settings:\n";
  if (invalidUtf8) text += " ComputerName\t\xff\xfeMacBook\xc3\x28\n";
  text += " SleepDisabled\t\t" + std::string(machine.pmsetSleepDisabled ? "1" : "0") + "\n";
  text += "Currently in use:\n";
  text += settingLine("standby", "1");
  text += settingLine("Sleep On Power Button", "1");
  text += settingLine("hibernatefile", "/var/vm/sleepimage");
  text += settingLine("powernap", "1");
  text += settingLine("networkoversleep", "0");
  text += settingLine("disksleep", "10");
  text += settingLine("sleep", "1");
  text += settingLine("hibernatemode", "3");
  text += settingLine("ttyskeepawake", "1");
  text += settingLine("displaysleep", "10");
  text += settingLine("tcpkeepalive", "1");
  text += settingLine("lowpowermode", "0");
  text += settingLine("womp", "0");
  if (invalidUtf8) text += " lidwake\xe2\x82             1\n";
  return text;
}

// Exactly `bytes` bytes: `text` cut short, or followed by filler lines that carry no setting.
std::string resized(std::string text, std::uint64_t bytes) {
  if (text.size() >= bytes) return text.substr(0, bytes);
  while (text.size() < bytes) {
    std::uint64_t room = bytes - text.size();
    if (room == 1) {
      text += "\n";
    } else {
      std::uint64_t fill = std::min<std::uint64_t>(room, 80) - 2;
      text += "#" + std::string(fill, 'x') + "\n";
    }
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  auto invocation = parseArguments(args);
  if (!invocation) {
    writeAll(STDERR_FILENO, kUsage);
    return 1;
  }
  if (invocation->command != Command::kReport && ::geteuid() != 0) fail("must be run as root");

  MachineState state(machineRootFromSelf());
  Machine machine;
  try {
    machine = state.read();
  } catch (const std::exception& error) {
    fail(std::string("cannot read the machine state: ") + error.what());
  }
  const auto& faults = machine.faults;

  if (faults.pmsetHang) {
    ::signal(SIGTERM, SIG_IGN);
    for (;;) ::pause();
  }
  if (faults.pmsetForkChild) {
    pid_t child = ::fork();
    if (child == 0) {
      // Holds the inherited standard output open, as a stray helper process would.
      ::close(STDIN_FILENO);
      ::close(STDERR_FILENO);
      sleepSeconds(*faults.pmsetForkChild);
      ::_exit(0);
    }
  }

  std::string output;
  if (faults.pmsetExitStatus) {
    // Refused: nothing changes, but a report is still written, so a caller that reads the
    // output of a failed run would be caught out.
    if (invocation->command == Command::kReport) output = report(machine, faults.pmsetInvalidUtf8);
    writeAll(STDOUT_FILENO, output);
    return *faults.pmsetExitStatus;
  }

  try {
    switch (invocation->command) {
      case Command::kReport:
        output = report(machine, faults.pmsetInvalidUtf8);
        break;
      case Command::kDisableSleep:
        state.update([&](Machine& m) {
          dravik::platform::sim::pmsetSetSleepDisabled(m, invocation->disabled,
                                                       dravik::platform::sim::continuousNow(m));
        });
        break;
      case Command::kSleepNow:
        state.update([](Machine& m) { dravik::platform::sim::requestSleep(m); });
        output = "Sleeping now...\n";
        break;
    }
  } catch (const std::exception& error) {
    fail(std::string("cannot change the machine state: ") + error.what());
  }
  if (faults.pmsetOutputBytes) output = resized(std::move(output), *faults.pmsetOutputBytes);
  writeAll(STDOUT_FILENO, output);
  return 0;
}
