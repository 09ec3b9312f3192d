#pragma once
// What the robustness tests read about a live daemon from /proc, and the raw client's path.

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

namespace quellan::e2e {

// The misbehaving peer (tests/robustness/RawClient.cc), signed as "dravik" by the build.
std::string rawClientProgram();

// Open descriptors of `pid` that are sockets; nullopt when the process is gone.
std::optional<std::size_t> socketCount(pid_t pid);

// Resident memory of `pid` in KiB (VmRSS); nullopt when the process is gone.
std::optional<std::size_t> residentKiB(pid_t pid);

// True while `pid` is a running (not zombie) process.
bool running(pid_t pid);

}  // namespace quellan::e2e
