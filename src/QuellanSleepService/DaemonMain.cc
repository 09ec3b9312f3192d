#include "QuellanSleepService/DaemonMain.h"

#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <memory>

#include "DravikSystem/Power.h"
#include "Platform/Asio/AsioMainQueue.h"
#include "Platform/LocalService/ServiceListener.h"
#include "QuellanServiceAuth/ClientSignature.h"
#include "QuellanServiceCore/SleepLease.h"
#include "QuellanSleepService/DaemonLog.h"
#include "QuellanSleepService/DaemonServices.h"
#include "QuellanSleepService/Listener.h"
#include "QuellanSleepService/RootJournal.h"
#include "QuellanSleepService/SleepDaemon.h"
#include "QuellanSleepService/SystemSetting.h"

namespace quellan {
namespace {

using dravik::platform::LogLevel;

// The parser's contract: the fixed report reads "sleep not disabled", without error.
bool selfTestPasses() {
  try {
    return !SystemSleepSetting::parse("System-wide power settings:\n SleepDisabled 0\n");
  } catch (...) {
    return false;
  }
}

// Fires at once, then every second on a fixed schedule.
class Ticker {
 public:
  Ticker(asio::io_context& io, SleepDaemon& daemon) : timer_(io), daemon_(daemon) {}
  void start() {
    next_ = std::chrono::steady_clock::now();
    arm();
  }

 private:
  void arm() {
    timer_.expires_at(next_);
    timer_.async_wait([this](const std::error_code& error) {
      if (error) return;
      daemon_.tick();
      next_ += std::chrono::seconds(1);
      arm();
    });
  }

  asio::steady_timer timer_;
  SleepDaemon& daemon_;
  std::chrono::steady_clock::time_point next_;
};

}  // namespace

int runDaemon(const std::vector<std::string>& arguments, DaemonPlatform& platform) {
  DaemonLogger logger(platform.logSink);
  DaemonClock clock(platform.clock);

  if (std::find(arguments.begin(), arguments.end(), "--self-test") != arguments.end()) {
    if (!selfTestPasses()) std::abort();
    platform.out << kSelfTestPassed << '\n' << std::flush;
    return 0;
  }

  if (platform.effectiveUserId() != 0) {
    platform.err << kRootRequired << '\n' << std::flush;
    return 1;
  }

  std::unique_ptr<dravik::PowerDriver> driver;
  std::unique_ptr<SystemSleepSetting> setting;
  std::unique_ptr<RootJournal> journal;
  try {
    driver = std::make_unique<dravik::PowerDriver>(platform.registry);
    setting = std::make_unique<SystemSleepSetting>(*driver, platform.clock);
    journal = std::make_unique<RootJournal>(platform.journalDirectory, platform.journalSystem);
  } catch (const std::exception& error) {
    logger.log(LogLevel::kFault, "Service initialization failed: %{public}s", error.what());
    return 1;
  }
  CrashPointSleepSetting power(*setting, platform.crashPoints);
  CrashPointJournalStore store(*journal, platform.crashPoints);
  SleepLease lease(power, store);

  try {
    lease.recover();
  } catch (const std::exception& error) {
    logger.log(LogLevel::kFault, "Startup restoration pending: %{public}s", error.what());
  }

  // Declared before the listener: connections that end while the listener shuts down
  // still post their last work here.
  asio::io_context io;
  dravik::platform::AsioMainQueue mainQueue(io);
  DaemonServices services{mainQueue,
                          platform.powerSources,
                          platform.displays,
                          platform.thermal,
                          platform.console,
                          clock,
                          logger};
  SleepServiceClientAuthentication authentication(platform.codeSigning);
  Listener delegate(lease, *driver, services, authentication);
  SleepDaemon daemon(lease, *driver, services);

  std::unique_ptr<dravik::platform::ServiceListener> listener;
  try {
    listener = std::make_unique<dravik::platform::ServiceListener>(CompatibilityService::name(),
                                                                   delegate, platform.codeSigning);
    listener->resume();
  } catch (const std::exception& error) {
    logger.log(LogLevel::kFault, "Service initialization failed: %{public}s", error.what());
    return 1;
  }

  Ticker ticker(io, daemon);
  ticker.start();

  // Stop signals arrive as events on the main queue, never as asynchronous handlers, so a
  // shutdown cannot interleave with a tick or a client operation.
  int status = 0;
  asio::signal_set signals(io, SIGTERM, SIGINT);
  signals.async_wait([&](const std::error_code& error, int) {
    if (error) return;
    status = daemon.shutdown();
    io.stop();
  });

  io.run();
  return status;
}

}  // namespace quellan
