#pragma once
// Making a simulated MacBook: its directory tree, its state file and its pmset stand-in.

#include <string>

#include "Platform/Sim/Machine.h"
#include "Platform/Sim/MachineState.h"

namespace dravik::platform::sim {

struct MachineOptions {
  // The pmset stand-in to copy to <root>/usr/bin/pmset (mode 0755); nothing is installed
  // when empty. Tests pass kBuiltPmsetProgram (SimPrograms.h).
  std::string pmsetProgram;
  // The initial state.
  Machine machine = defaultMachine();
  // Replace the state of a machine that already exists (otherwise that is an error).
  bool replace = false;
};

// Creates the machine root `root` (and its parents; mode 0755), writes its state and
// installs pmset. Throws std::system_error: EEXIST when a machine exists there and
// `replace` is false; any file error otherwise.
void createMachine(const std::string& root, const MachineOptions& options = {});

// Copies `program` to <root>/usr/bin/pmset with mode 0755, atomically.
void installPmset(const std::string& root, const std::string& program);

// A machine in a fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when this object is destroyed. The root is mode 0755 so processes of any uid can use it.
class TemporaryMachine {
 public:
  explicit TemporaryMachine(const MachineOptions& options = {});
  TemporaryMachine(const TemporaryMachine&) = delete;
  TemporaryMachine& operator=(const TemporaryMachine&) = delete;
  ~TemporaryMachine();

  const std::string& root() const { return root_; }
  MachineState& state() { return state_; }

 private:
  std::string root_;
  MachineState state_;
};

}  // namespace dravik::platform::sim
