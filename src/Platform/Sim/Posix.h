#pragma once
// Small POSIX helpers shared by the simulator's code.

#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "Platform/UniqueFd.h"

namespace dravik::platform::sim {

// Throws std::system_error for the current errno, naming what failed.
[[noreturn]] inline void throwPosixError(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// The platform layer's descriptor owner, under the name the simulator's code uses.
using dravik::platform::UniqueFd;

}  // namespace dravik::platform::sim
