#pragma once
// The commands of dravik-machine, the simulated MacBook's control tool, as a function so
// that tests run them in-process.

#include <ostream>
#include <string>
#include <vector>

namespace dravik::platform::sim {

// Runs one command line (without the program name). `programDirectory` is where
// dravik-machine lives; `create` installs the pmset found there. Returns the exit status:
// 0 done, 1 the command failed (no machine, a file error, nothing to remove), 2 bad input
// (an error and the usage line are written to `err`).
int runMachineCommand(const std::vector<std::string>& args, const std::string& programDirectory,
                      std::ostream& out, std::ostream& err);

}  // namespace dravik::platform::sim
