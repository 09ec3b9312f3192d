#pragma once
// Absolute platform paths ("/usr/bin/pmset", "/Library/...") are resolved inside the
// machine root named by DRAVIK_MACHINE; without it they stand as they are. This is the
// only place that reads the variable.

#include <string>
#include <string_view>

namespace dravik::platform {

// The machine root ("" when DRAVIK_MACHINE is unset or empty).
std::string machineRoot();
// `absolutePath` (which must start with '/') inside the machine root.
std::string machinePath(std::string_view absolutePath);

}  // namespace dravik::platform
