// Sleep. TerminateThread ends a sleeping thread as it ends a waiting one.
#include "platform/posix/wait.h"

#include <sched.h>

extern "C" void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();  // gives up the rest of the time slice
        return;
    }
    kwin::SleepInterruptibly(milliseconds);
}
