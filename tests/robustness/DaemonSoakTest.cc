// A soak of the live daemon: session after session on a temporary simulated MacBook, each
// disturbed by random (seeded) changes of the lid, battery, temperature, displays and
// console user, jumps of the simulated clock, client kills and daemon SIGKILL + restart.
// After every session, once it is over and the daemon has had time to restore, the sleep
// setting must be back to the original (off) in both pmset's report and the root domain,
// with no journal and no temporary journal file left behind.
//
// DRAVIK_SOAK_SECONDS sets how long to keep starting sessions (60 by default);
// DRAVIK_SOAK_SEED replays a run's sequence of steps (timing still varies).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Sim/Machine.h"
#include "QuellanServiceProtocol/ServiceProtocol.h"
#include "tests/daemon/DaemonHarness.h"
#include "tests/robustness/RobustnessSupport.h"

namespace quellan::e2e {
namespace {

namespace sim = dravik::platform::sim;

// How long sessions keep being started when DRAVIK_SOAK_SECONDS is not set; the run then
// takes this plus one session's steps and clean-up.
constexpr double kDefaultSoakSeconds = 60.0;
// Disturbances per session, at most.
constexpr int kMaxStepsPerSession = 8;
// Pause after a step, at most, so the daemon's once-a-second tick sees some of the states.
constexpr int kMaxPauseMilliseconds = 700;
// Once a session is over and the machine safe again, the daemon restores within this
// (immediately in practice; a restoration that failed is retried every tick).
constexpr double kRestoreBoundSeconds = 10.0;

double soakSeconds() {
  const char* text = std::getenv("DRAVIK_SOAK_SECONDS");
  if (text == nullptr || *text == '\0') return kDefaultSoakSeconds;
  char* end = nullptr;
  double seconds = std::strtod(text, &end);
  if (*end != '\0' || seconds <= 0) throw std::invalid_argument("bad DRAVIK_SOAK_SECONDS");
  return seconds;
}

std::uint64_t soakSeed() {
  const char* text = std::getenv("DRAVIK_SOAK_SEED");
  if (text != nullptr && *text != '\0') return std::stoull(text);
  return std::random_device{}();
}

class Soak {
 public:
  explicit Soak(std::uint64_t seed) : seed_(seed), random_(seed) {}

  // Runs sessions until `seconds` have passed or an invariant fails; false on failure
  // (reported with the seed and the step log).
  bool run(double seconds) {
    machine_ = std::make_unique<TestMachine>();
    if (!expect(!sleepDisabled().value_or(true), "sleep starts enabled")) return false;
    if (!startDaemon()) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int session = 0;  // rounds; a round whose begin was refused is one too
    while (std::chrono::steady_clock::now() < deadline) {
      log("round " + std::to_string(++session));
      if (!runSession()) return false;
    }
    std::cout << "soak: " << session << " rounds, " << sessions_ << " sessions begun, " << restarts_
              << " daemon restarts (" << restartsMidSession_ << " in the middle of a session), "
              << kills_ << " client kills (seed " << seed_ << ")" << std::endl;
    return true;
  }

 private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  bool chance(double p) { return std::bernoulli_distribution(p)(random_); }

  void log(const std::string& line) { steps_.push_back(line); }

  bool expect(bool condition, const std::string& what) {
    if (condition) return true;
    std::ostringstream report;
    report << "soak invariant failed: " << what << "\nseed " << seed_
           << " (rerun with DRAVIK_SOAK_SEED=" << seed_ << ")\nsteps:\n";
    for (const std::string& step : steps_) report << "  " << step << "\n";
    if (daemon_) report << "daemon log:\n" << daemon_->log();
    ADD_FAILURE() << report.str();
    return false;
  }

  // pmset's report and the root domain; nullopt while they disagree.
  std::optional<bool> sleepDisabled() {
    try {
      return machine_->sleepDisabled();
    } catch (const std::runtime_error&) {
      return std::nullopt;
    }
  }

  bool startDaemon() {
    daemon_ = std::make_unique<DaemonProcess>(*machine_);
    return expect(daemon_->ready(), "the daemon starts");
  }

  // The daemon accepts connections. Its socket file outlives a killed daemon, so the
  // file's presence alone does not say the new one is up.
  bool listening() {
    std::string path = machine_->root() + "/var/run/" + CompatibilityService::name() + ".sock";
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
  }

  bool restartDaemon() {
    bool midSession = machine_->journalExists();
    daemon_->signal(SIGKILL);
    int status = daemon_->wait();
    if (!expect(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL,
                "the daemon dies of SIGKILL (status " + std::to_string(status) + ")")) {
      return false;
    }
    ++restarts_;
    if (!startDaemon() || !expect(waitUntil([&] { return listening(); }, kRestoreBoundSeconds),
                                  "the restarted daemon listens")) {
      return false;
    }
    if (!midSession) return true;
    // The start-up restores before it listens.
    ++restartsMidSession_;
    log("the restart found a journal");
    return expect(
        sleepDisabled() == false && !machine_->journalExists() && machine_->temporaryFiles() == 0,
        "a restart in the middle of a session restores at once");
  }

  void change(const std::string& what, const std::function<void(sim::Machine&)>& change) {
    log(what);
    machine_->change(change);
  }

  // One client's session from begin to its end, with random disturbances in between.
  bool runSession() {
    auto owner = std::make_unique<ClientProcess>(*machine_);
    std::string minutes = chance(0.5) ? "0" : "30";
    std::string begun = owner->send("begin " + minutes);
    log("begin " + minutes + " -> " + begun);
    if (begun == "ok") ++sessions_;

    int steps = pick(0, kMaxStepsPerSession);
    for (int i = 0; i < steps; ++i) {
      if (!disturb(owner)) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(pick(0, kMaxPauseMilliseconds)));
    }

    // The end: the owner ends its session or dies, and the machine is made safe again.
    if (owner && chance(0.5)) {
      log("end -> " + owner->send("end"));
    } else if (owner) {
      log("kill the owner");
      owner->kill();
      ++kills_;
    }
    owner.reset();
    change("make the machine safe", [](sim::Machine& m) {
      sim::setLidClosed(m, false);
      sim::setBattery(m, 80, false);
      m.thermalState = 0;
      std::erase_if(m.displays, [](const sim::Display& d) { return !d.builtin; });
      m.consoleUid = kConsoleUid;
    });
    return checkRestored();
  }

  bool disturb(std::unique_ptr<ClientProcess>& owner) {
    switch (pick(0, 12)) {
      case 0:
        change("close the lid", [](sim::Machine& m) { sim::setLidClosed(m, true); });
        break;
      case 1:
        change("open the lid", [](sim::Machine& m) { sim::setLidClosed(m, false); });
        break;
      case 2: {
        static constexpr int kPercents[] = {5, 10, 11, 40, 80, 100};
        int percent = kPercents[pick(0, 5)];
        bool onBattery = chance(0.5);
        change("battery " + std::to_string(percent) + (onBattery ? "% on battery" : "% on AC"),
               [=](sim::Machine& m) { sim::setBattery(m, percent, onBattery); });
        break;
      }
      case 3: {
        int state = pick(0, 3);
        change("thermal " + std::to_string(state),
               [=](sim::Machine& m) { m.thermalState = state; });
        break;
      }
      case 4:
        if (chance(0.5)) {
          change("add an external display", [](sim::Machine& m) {
            m.displays.push_back({m.nextDisplayId++, false});
          });
        } else {
          change("remove the external displays", [](sim::Machine& m) {
            std::erase_if(m.displays, [](const sim::Display& d) { return !d.builtin; });
          });
        }
        break;
      case 5: {
        static constexpr std::uint32_t kUids[] = {kConsoleUid, kConsoleUid, 502, 0};
        std::uint32_t uid = kUids[pick(0, 3)];
        change("console uid " + std::to_string(uid), [=](sim::Machine& m) { m.consoleUid = uid; });
        break;
      }
      case 6: {
        static constexpr double kJumps[] = {1, 5, 20, 29, 31, 120, 3600};
        double jump = kJumps[pick(0, 6)];
        change("clock +" + std::to_string(static_cast<int>(jump)) + " s",
               [=](sim::Machine& m) { sim::advanceClock(m, jump); });
        break;
      }
      case 7:
      case 8:
        if (owner) log("renew -> " + owner->send("renew"));
        break;
      case 9:
        if (owner) log("status -> " + owner->send("status"));
        break;
      case 10:
        if (owner) {
          log("kill the owner");
          owner.reset();  // SIGKILL, then reaped
          ++kills_;
        }
        break;
      case 11: {
        // Another client of the console user tries its own session, then dies.
        ClientProcess other(*machine_);
        log("another client: begin 0 -> " + other.send("begin 0") + ", then killed");
        ++kills_;
        break;
      }
      case 12:
        log("SIGKILL the daemon and start it again");
        if (!restartDaemon()) return false;
        break;
    }
    return expect(running(daemon_->pid()), "the daemon is still running");
  }

  bool checkRestored() {
    bool restored = waitUntil(
        [&] {
          return sleepDisabled() == false && !machine_->journalExists() &&
                 machine_->temporaryFiles() == 0;
        },
        kRestoreBoundSeconds);
    std::optional<bool> disabled = sleepDisabled();
    std::string state =
        std::string("sleep disabled: ") +
        (disabled ? (*disabled ? "yes" : "no") : "pmset and the root domain disagree") +
        ", journal: " + (machine_->journalExists() ? "present" : "absent") +
        ", temporary files: " + std::to_string(machine_->temporaryFiles());
    log("after the session: " + state);
    return expect(restored, "restored after the session (" + state + ")") &&
           expect(running(daemon_->pid()), "the daemon is still running");
  }

  const std::uint64_t seed_;
  std::mt19937_64 random_;
  std::vector<std::string> steps_;
  std::unique_ptr<TestMachine> machine_;
  std::unique_ptr<DaemonProcess> daemon_;
  int sessions_ = 0;
  int restarts_ = 0;
  int restartsMidSession_ = 0;
  int kills_ = 0;
};

TEST(DaemonSoakTest, RandomSessionsAlwaysLeaveTheSettingRestored) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  std::uint64_t seed = soakSeed();
  double seconds = soakSeconds();
  std::cout << "soak: seed " << seed << ", " << seconds << " s" << std::endl;
  RecordProperty("seed", std::to_string(seed));
  Soak soak(seed);
  EXPECT_TRUE(soak.run(seconds));
}

}  // namespace
}  // namespace quellan::e2e
