#pragma once
// The simulated MacBook's state file: <root>/var/db/dravik-machine/state.json.
//
// Writers take an exclusive flock on state.lock beside it, read, change, and replace the
// file atomically (temporary file, fsync, rename, fsync of the directory), so concurrent
// writers from any process lose nothing and a reader never sees a torn file. Readers take
// no lock. The directory and files are writable by every user: unprivileged processes
// (clients making power assertions) change the machine too. The simulator is a test
// fixture, not a security boundary.
//
// Every snapshot is settled at the simulated "now" (see settle() in Machine.h), so delayed
// changes and lapsing assertions appear when their time comes without anyone writing.
// Thread-safe: each call opens its own descriptors.

#include <functional>
#include <string>

#include "Platform/Sim/Machine.h"

namespace dravik::platform::sim {

class MachineState {
 public:
  // The machine named by DRAVIK_MACHINE.
  MachineState();
  explicit MachineState(std::string root);

  const std::string& root() const { return root_; }
  std::string directory() const;  // <root>/var/db/dravik-machine
  std::string statePath() const;  // .../state.json
  std::string lockPath() const;   // .../state.lock

  // The current state, settled now. Throws std::system_error when the file cannot be read
  // (ENOENT when no machine was created) and the JSON library's errors for a bad file.
  Machine read() const;
  // Locked read-modify-write: settles, calls `change`, writes the result and returns it.
  // Nothing is written when `change` throws; the exception passes through.
  Machine update(const std::function<void(Machine&)>& change);
  // Replaces the whole state (creating the directory and files if needed).
  void write(const Machine& machine);

 private:
  // Writes the file atomically; the caller holds the lock.
  void replaceFile(const Machine& machine) const;

  std::string root_;
};

}  // namespace dravik::platform::sim
