#pragma once
// Real processes on a temporary simulated MacBook: the daemon as root, clients as the
// console user. Test-only.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "Platform/Sim/MachineState.h"
#include "Platform/Sim/SimMachine.h"

namespace quellan::e2e {

inline constexpr unsigned kConsoleUid = 501;

// Polls `condition` every 20 ms until it holds or `seconds` pass.
bool waitUntil(const std::function<bool()>& condition, double seconds = 5.0);

// A machine with the build's pmset and its development code-signing anchor installed.
class TestMachine {
 public:
  TestMachine();
  const std::string& root() const { return machine_.root(); }
  dravik::platform::sim::MachineState& state() { return machine_.state(); }
  void change(const std::function<void(dravik::platform::sim::Machine&)>& change) {
    machine_.state().update(change);
  }
  // What pmset and the root domain say (both must agree for a setting to be trusted).
  bool sleepDisabled();
  std::string journalPath() const;
  bool journalExists() const;
  // Names of ".recovery-*" temporary files in the journal directory.
  int temporaryFiles() const;
  // Arms a daemon crash point ("" disarms).
  void armCrash(const std::string& point);

 private:
  dravik::platform::sim::TemporaryMachine machine_;
};

// The daemon program, started as root on `machine`, its output in a log file.
class DaemonProcess {
 public:
  explicit DaemonProcess(TestMachine& machine);
  ~DaemonProcess();  // SIGKILL if still running
  // Waits for the service socket to appear.
  bool ready();
  void signal(int signal);
  // Waits for the process to end; its raw wait status, or -1 on time-out.
  int wait(double seconds = 10.0);
  std::string log() const;
  pid_t pid() const { return pid_; }

 private:
  TestMachine& machine_;
  std::string logPath_;
  pid_t pid_ = -1;
};

// A probe client (or another program speaking its line protocol) running as `uid`.
class ClientProcess {
 public:
  ClientProcess(TestMachine& machine, const std::string& program = "", unsigned uid = kConsoleUid);
  ~ClientProcess();
  // Sends one command line and returns the answer line ("" on time-out or exit).
  std::string send(const std::string& command);
  void kill();

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffered_;
};

// Paths of the programs the build made.
std::string probeProgram();
std::string codesignProgram();
std::string devIdentityDirectory();

// Runs a program as root to completion; its exit status (-1 when it did not exit).
int run(const std::vector<std::string>& arguments);

}  // namespace quellan::e2e
