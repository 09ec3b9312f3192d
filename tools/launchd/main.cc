// dravik-launchd: the simulated MacBook's launchd. Runs in the foreground: starts the daemon
// of every approved registration as root, stops the ones unregistered, restarts the ones
// that die, and stops them all on SIGTERM or SIGINT (see Platform/Sim/ServiceSupervisor.h).
//
//   dravik-launchd [--root DIR] [--interval SECONDS]   (or DRAVIK_MACHINE=DIR)
//
// Exit status: 0 after a stop signal, 1 when it cannot run (not root, no machine, another
// supervisor), 2 bad usage.

#include <unistd.h>

#include <charconv>
#include <cmath>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "Platform/MachineRoot.h"
#include "Platform/Sim/ServiceSupervisor.h"

namespace {

constexpr const char* kUsage = "usage: dravik-launchd [--root DIR] [--interval SECONDS]\n";

int usage(const std::string& problem) {
  std::cerr << "dravik-launchd: " << problem << "\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string root = dravik::platform::machineRoot();
  double interval = 0.1;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--root" && i + 1 < args.size() && !args[i + 1].empty()) {
      root = args[++i];
    } else if (args[i] == "--interval" && i + 1 < args.size()) {
      const std::string& text = args[++i];
      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), interval);
      if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(interval) ||
          interval < 0.01 || interval > 10) {
        return usage("the interval must be from 0.01 to 10 seconds, not \"" + text + "\"");
      }
    } else if (args[i] == "--help" || args[i] == "help") {
      std::cout << kUsage;
      return 0;
    } else {
      return usage("unexpected argument \"" + args[i] + "\"");
    }
  }
  if (root.empty()) return usage("no machine root: pass --root DIR or set DRAVIK_MACHINE");
  if (::geteuid() != 0) {
    std::cerr << "dravik-launchd: must be run as root (it starts daemons as root)\n";
    return 1;
  }
  try {
    dravik::platform::sim::MachineState(root).read();  // a machine must exist
    dravik::platform::sim::ServiceSupervisor::Options options;
    options.log = &std::cerr;
    dravik::platform::sim::ServiceSupervisor supervisor(root, options);
    std::cerr << "dravik-launchd: supervising " << root << "\n";
    return supervisor.run(interval);
  } catch (const std::exception& error) {
    std::cerr << "dravik-launchd: " << error.what() << "\n";
    return 1;
  }
}
