#pragma once
// A daemon's core objects over in-memory fakes: a safe machine with its lid open, a user
// at the console, sleep enabled and no journal. Test-only.

#include <memory>

#include "DravikSystem/Power.h"
#include "Platform/Fake/CapturingLogSink.h"
#include "Platform/Fake/FakeClock.h"
#include "Platform/Fake/FakeDisplays.h"
#include "Platform/Fake/FakePowerRegistry.h"
#include "Platform/Fake/FakePowerSources.h"
#include "Platform/Fake/FakeQueues.h"
#include "Platform/Fake/FakeSystemReadings.h"
#include "QuellanServiceCore/Fakes/FakeJournalStore.h"
#include "QuellanServiceCore/Fakes/FakeSleepSetting.h"
#include "QuellanServiceCore/SleepLease.h"
#include "QuellanSleepService/DaemonServices.h"

namespace quellan {

struct DaemonTestRig {
  static constexpr std::uint32_t kUser = 501;

  DaemonTestRig() {
    registry.setProperty("AppleClamshellState", false);
    setBattery(80, false);
    displays.setDisplays({{1, true}});
    console.set(kUser);
  }

  void setBattery(std::int64_t percent, bool onBattery) {
    sources.setInfo(dravik::platform::PowerSourcesInfo{
        onBattery ? "Battery Power" : "AC Power",
        {{dravik::platform::FakePowerSources::internalBattery(percent, 100)}}});
  }
  void setLidClosed(bool closed) { registry.setProperty("AppleClamshellState", closed); }

  dravik::platform::FakePowerRegistry registry;
  dravik::platform::FakePowerSources sources;
  dravik::platform::FakeDisplays displays;
  dravik::platform::FakeThermalState thermal;
  dravik::platform::FakeConsoleUser console;
  dravik::platform::FakeClock clock{0.0, 1000.0};
  dravik::platform::FakeMainQueue mainQueue;
  dravik::platform::CapturingLogSink sink;
  DaemonLogger logger{sink};
  DaemonClock daemonClock{clock};
  FakeSleepSetting setting;
  FakeJournalStore journal;
  SleepLease lease{setting, journal};
  dravik::PowerDriver power{registry};
  DaemonServices services{mainQueue, sources, displays, thermal, console, daemonClock, logger};
};

}  // namespace quellan
