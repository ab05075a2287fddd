// Program images of the simulated machine. A program built as a shared
// object that exports `wmain` is loaded afresh for every process started
// from it, so each simulated process has its own globals, as separate
// Windows processes do.
#pragma once

#include "platform/posix/kernel.h"

#include <string>

namespace sim {

// The loader for a shared-object program. Each call copies the file to a
// new temporary name and loads the copy (the dynamic loader would hand back
// the loaded one for the same file); copies stay loaded until the host
// program ends, as their memory may still be looked at.
kwin::ProgramLoader SharedObjectProgram(const std::string& path);

}  // namespace sim
