#pragma once
// The simulated MacBook's launchd: runs every enabled registration's daemon (the machine
// state's "services" section, SimServiceManagement.h) and stops the ones that are not.
//
// Each poll():
//   - reaps daemons that ended, records how ("exits") and clears their pid;
//   - sends SIGTERM to a daemon whose registration is gone or no longer approved, and
//     SIGKILL when it is still there `stopTimeoutSeconds` later;
//   - starts the daemon of every approved registration that has none running, as root,
//     in its own session, with its absolute path as argv[0] (a client that may not read a
//     root process's /proc/<pid>/exe checks the program named there), the environment
//     {DRAVIK_MACHINE=<root>, PATH, HOME and the sanitizers' options when set}, standard input from
//     /dev/null and standard output and error appended to <root>/var/log/<label>.log; records its
//     pid. A daemon that ended while still wanted is started again after a back-off that doubles
//     from `minBackoffSeconds` up to `maxBackoffSeconds` (reset by a run of `stableSeconds`).
// A daemon left running by an earlier supervisor (its recorded pid still runs the
// registered program) is stopped first, so that one daemon never runs twice.
//
// One supervisor per machine: the constructor takes an exclusive lock
// (<root>/var/db/dravik-machine/supervisor.lock) and throws when another holds it.
// Not thread-safe; single-threaded use, since it forks.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Platform/Sim/MachineState.h"
#include "Platform/Sim/Posix.h"

namespace dravik::platform::sim {

class ServiceSupervisor {
 public:
  struct Options {
    double stopTimeoutSeconds = 20;
    double minBackoffSeconds = 0.25;
    double maxBackoffSeconds = 10;
    double stableSeconds = 10;
    // One line per event (started, stopping, ended, problems); may be null.
    std::ostream* log = nullptr;
  };

  explicit ServiceSupervisor(std::string root);
  ServiceSupervisor(std::string root, Options options);
  ServiceSupervisor(const ServiceSupervisor&) = delete;
  ServiceSupervisor& operator=(const ServiceSupervisor&) = delete;
  // Stops every daemon it runs (stopAll()).
  ~ServiceSupervisor();

  // One round, as above. Never throws: problems are logged and retried next round.
  void poll();
  // SIGTERM to every daemon, then waits for all of them (SIGKILL after the stop timeout),
  // recording their exits.
  void stopAll();
  // Polls every `intervalSeconds` until SIGTERM or SIGINT arrives (they are blocked in the
  // calling thread meanwhile), then stops everything. Returns 0.
  int run(double intervalSeconds);

  // The daemons running now, by property-list name.
  std::map<std::string, pid_t> running() const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Child {
    pid_t pid = 0;
    UniqueFd pidfd;
    std::string program;  // the machine's path it was started from
    Clock::time_point startedAt;
    std::optional<Clock::time_point> killAt;  // set once SIGTERM was sent
  };
  struct Backoff {
    int failures = 0;
    Clock::time_point notBefore;
  };

  void stopOrphans();
  void reap(bool stopping);
  void start(const std::string& plist, const std::string& program,
             const std::vector<std::string>& arguments);
  void record(const std::function<void(Machine&)>& change);
  void say(const std::string& line);

  std::string root_;
  Options options_;
  MachineState state_;
  UniqueFd lock_;
  bool orphansChecked_ = false;
  std::map<std::string, Child> children_;
  std::map<std::string, Backoff> backoff_;
  std::string lastProblem_;
};

// "exited with status N" or "killed by signal N" for a wait status.
std::string describeWaitStatus(int status);

}  // namespace dravik::platform::sim
