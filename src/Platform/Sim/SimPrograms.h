#pragma once
// Where this build put the simulator's programs. Only for targets that link
// DravikPlatformSimPrograms, which also builds the programs before them.

#if !defined(DRAVIK_PMSET_PROGRAM) || !defined(DRAVIK_MACHINE_PROGRAM)
#error "link the DravikPlatformSimPrograms target to use Platform/Sim/SimPrograms.h"
#endif

namespace dravik::platform::sim {

inline constexpr const char* kBuiltPmsetProgram = DRAVIK_PMSET_PROGRAM;
inline constexpr const char* kBuiltMachineProgram = DRAVIK_MACHINE_PROGRAM;

}  // namespace dravik::platform::sim
