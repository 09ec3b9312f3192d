#pragma once
// Runs a program as a child process under a hard time limit and collects its standard
// output after it has exited.
//
// The child is started directly (no shell, no search path) with exactly the given
// environment (nothing is inherited), standard input and standard error on /dev/null,
// standard output on a pipe, default signal dispositions, an empty signal mask, no other
// descriptor, and in a process group of its own. Then:
//   1. wait up to `timeoutSeconds` for it to exit;
//   2. on time-out: SIGKILL to its whole group, wait up to `graceSeconds` more, and report
//      kTimedOut; the output is not read;
//   3. on exit: SIGKILL to whatever is left of its group (helpers it started would hold
//      the pipe open), reap it, and read the output only when its status is 0, for at
//      most `graceSeconds`, never blocking on a pipe that a process outside the group
//      still holds, and never keeping more than `outputLimit` bytes.
// The caller is therefore blocked for at most about timeoutSeconds + graceSeconds.
// The child is always reaped: after a kill that did not take within the grace time, a
// background thread waits for it.
//
// A tool that writes more than the pipe holds blocks until it is killed: that ends as a
// time-out, since output is collected only after exit.
//
// Thread-safe (no shared state); blocks the calling thread.

#include <cstddef>
#include <string>
#include <vector>

namespace dravik::platform {

struct ChildProcessRequest {
  std::string path;                      // the program; also its argv[0]
  std::vector<std::string> arguments;    // argv[1...]
  std::vector<std::string> environment;  // exactly these "NAME=value" entries
  double timeoutSeconds = 4.0;
  double graceSeconds = 1.0;
  std::size_t outputLimit = 16384;
};

struct ChildProcessResult {
  enum class Ending {
    kExited,    // exitStatus holds its status (-1 when it was reaped by someone else)
    kSignaled,  // a signal ended it before the time limit; `signal` names it
    kTimedOut,  // still running at the time limit; it was killed
  };
  Ending ending = Ending::kExited;
  int exitStatus = -1;
  int signal = 0;
  // Standard output, read only after an exit with status 0 (otherwise empty), and at
  // most outputLimit bytes of it.
  std::string output;
  // More than outputLimit bytes arrived.
  bool outputOverLimit = false;
  // The output's end did not come within graceSeconds after exit: something that escaped
  // the group still holds the pipe. `output` holds what came.
  bool outputUnfinished = false;
};

// Throws std::system_error when the pipe cannot be made or the program cannot be started
// (for instance ENOENT when `path` does not exist).
ChildProcessResult runChildProcess(const ChildProcessRequest& request);

}  // namespace dravik::platform
