#pragma once
// The daemon's start-up and main loop, over platform objects built by the program's
// composition root (main.cc), so that everything but the choice of platform is here.
//
// Start-up: self-test (if asked) → root check → power driver, sleep setting, journal
// store, lease → recover() → listener → a one-second tick that fires first at once →
// SIGTERM/SIGINT as events on the main queue → run the main queue until a stop signal.

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "Platform/Clock.h"
#include "Platform/CodeSigning.h"
#include "Platform/Displays.h"
#include "Platform/LogSink.h"
#include "Platform/PowerRegistry.h"
#include "Platform/PowerSources.h"
#include "Platform/SystemReadings.h"
#include "QuellanSleepService/CrashPoints.h"
#include "QuellanSleepService/JournalSystemCalls.h"

namespace quellan {

// Not owned; everything must outlive runDaemon().
struct DaemonPlatform {
  dravik::platform::PowerRegistry& registry;
  dravik::platform::PowerSources& powerSources;
  dravik::platform::Displays& displays;
  dravik::platform::ThermalState& thermal;
  dravik::platform::ConsoleUser& console;
  dravik::platform::Clock& clock;
  dravik::platform::LogSink& logSink;
  dravik::platform::CodeSigning& codeSigning;
  CrashPoints& crashPoints;
  JournalSystemCalls& journalSystem;
  std::string journalDirectory;
  std::function<unsigned()> effectiveUserId;
  std::ostream& out;
  std::ostream& err;
};

inline constexpr const char* kSelfTestPassed =
    "Quellan sleep service parser passed; no settings changed";
inline constexpr const char* kRootRequired =
    "Start this service through the compatibility app and macOS approval.";

// Runs the daemon; returns its exit status. A failed self-test aborts the process.
int runDaemon(const std::vector<std::string>& arguments, DaemonPlatform& platform);

}  // namespace quellan
