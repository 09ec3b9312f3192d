// QuellanSleepService: the privileged daemon. Builds the platform objects of the
// simulated MacBook and hands them to the daemon.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "Platform/CodeIdentity/SodiumCodeSigning.h"
#include "Platform/MachineRoot.h"
#include "Platform/Sim/SimClock.h"
#include "Platform/Sim/SimDisplays.h"
#include "Platform/Sim/SimPowerRegistry.h"
#include "Platform/Sim/SimPowerSources.h"
#include "Platform/Sim/SimSystemReadings.h"
#include "QuellanSleepService/DaemonLog.h"
#include "QuellanSleepService/DaemonMain.h"
#include "QuellanSleepService/RootJournal.h"

int main(int argc, char** argv) {
  // Our files are private whatever umask launched us: the journal store refuses a
  // directory or record that is not exactly 0700/0600.
  ::umask(077);
  // A client that disappears mid-reply must not kill the daemon.
  ::signal(SIGPIPE, SIG_IGN);

  namespace sim = dravik::platform::sim;
  sim::SimPowerRegistry registry;
  sim::SimPowerSources powerSources;
  sim::SimDisplays displays;
  sim::SimThermalState thermal;
  sim::SimConsoleUser console;
  sim::SimClock clock;
  quellan::StderrLogSink logSink;
  dravik::platform::SodiumCodeSigning codeSigning;
  quellan::FileCrashPoints crashPoints(
      dravik::platform::machinePath("/var/db/dravik-daemon-crash-at"));

  quellan::DaemonPlatform platform{registry,
                                   powerSources,
                                   displays,
                                   thermal,
                                   console,
                                   clock,
                                   logSink,
                                   codeSigning,
                                   crashPoints,
                                   quellan::JournalSystemCalls::posix(),
                                   quellan::RootJournal::defaultDirectory(),
                                   [] { return static_cast<unsigned>(::geteuid()); },
                                   std::cout,
                                   std::cerr};
  return quellan::runDaemon(std::vector<std::string>(argv + 1, argv + argc), platform);
}
