#pragma once
// dravik-session's logic: one command against the sleep service daemon, its outcome printed
// in the user's language.
//
// A closed-lid session runs through these states:
//
//   beginning ──ok──> waiting ──timer──> renewing ──ok──> waiting ...
//       │                │                  │
//       │ failed         │ stop()           │ failed: the daemon (or the dropped
//       v                v                  v         connection) ended the session
//     done(1)         ending ──ok──> done(0)        done(1)
//                        └──failed──> done(1)
//
// stop() while a begin or a renewal is outstanding is remembered and acted on when its
// result arrives; the session is then ended instead of renewed. A renewal limit ends the
// session the same way once it is reached. Failures are shown as the daemon's or the
// client's own text translated through AppText; nothing else is made up for them.
//
// Threading: main queue only. Every object handed in is not owned and must outlive the
// tool; the tool must outlive every call it started (until `finished` has run).

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "DravikCore/Localization.h"
#include "DravikSystem/CompatibilityClient.h"
#include "Platform/MainQueue.h"
#include "Platform/PreferredLanguages.h"

namespace dravik {

// The renewal clock: runs work on the main queue once, after a delay, in real time.
class RenewalTimer {
 public:
  RenewalTimer() = default;
  RenewalTimer(const RenewalTimer&) = delete;
  RenewalTimer& operator=(const RenewalTimer&) = delete;
  virtual ~RenewalTimer() = default;

  // Replaces any work still waiting.
  virtual void start(double seconds, std::function<void()> work) = 0;
  // Drops the waiting work. Work already due may still run; the tool ignores it.
  virtual void cancel() = 0;
};

struct BeginOptions {
  std::int64_t minutes = 0;               // passed to the daemon unchanged; 0 = no limit
  std::optional<std::uint64_t> renewals;  // end after this many successful renewals
  bool quietRenewals = false;             // print nothing for a successful renewal
};

class SessionTool {
 public:
  // Receives the process's exit status: 0 success, 1 failure. Posted to the main queue, so
  // it may tear the tool down.
  using Finished = std::function<void(int exitStatus)>;

  SessionTool(CompatibilityClient& client, platform::MainQueue& mainQueue, RenewalTimer& timer,
              AppLanguage language, const platform::PreferredLanguages& preferred,
              std::ostream& out, Finished finished);
  SessionTool(const SessionTool&) = delete;
  SessionTool& operator=(const SessionTool&) = delete;

  // Each tool runs one command, once.
  void status();
  void begin(const BeginOptions& options);
  void end();
  void remove();

  // A stop signal: ends a running session. Ignored outside a session and while it ends.
  void stop();

 private:
  enum class State { idle, beginning, waiting, renewing, ending, done };

  void began(const Result<Done>& result);
  void renewNow();
  void renewed(const Result<Done>& result);
  void waitForRenewal();
  void sendEnd();
  void finish(int exitStatus);

  // The tool's own words, in the resolved language.
  std::string own(std::string_view english, std::string_view chinese) const;
  void say(const std::string& line);
  void sayFailure(const PowerError& error);

  CompatibilityClient& client_;
  platform::MainQueue& mainQueue_;
  RenewalTimer& timer_;
  AppText text_;
  AppLanguage language_;
  const platform::PreferredLanguages& preferred_;
  std::ostream& out_;
  Finished finished_;

  State state_ = State::idle;
  BeginOptions options_;
  bool stopRequested_ = false;
  std::uint64_t renewals_ = 0;
};

}  // namespace dravik
