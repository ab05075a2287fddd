// For a program that puts a call of its own (the fault sweep's allocator)
// under the stand-in's call counting and failure injection.
#pragma once

#include "platform/posix/kernel.h"

namespace kwin {

// Counts one call of `function` as the stand-in's own functions are counted,
// and says whether this call must fail (FailCall).
KWIN_EXPORT bool ShouldFailCall(const char* function);

}  // namespace kwin
