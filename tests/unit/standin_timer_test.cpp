// The stand-in's counted timer periods and its timeGetTime override.
#include "platform/posix/kernel.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

namespace {

TEST(StandInTimerPeriods, ActiveIsBeginsMinusEndsAndEveryBeginIsCounted) {
    const int active = kwin::ActiveTimerPeriods();
    const int begins = kwin::TimerPeriodBeginCalls();

    EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeBeginPeriod(5), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeBeginPeriod(0), static_cast<MMRESULT>(TIMERR_NOCANDO));  // counted, not active
    EXPECT_EQ(kwin::ActiveTimerPeriods(), active + 3);
    EXPECT_EQ(kwin::TimerPeriodBeginCalls(), begins + 4);

    EXPECT_EQ(timeEndPeriod(7), static_cast<MMRESULT>(TIMERR_NOCANDO));  // never begun
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeEndPeriod(5), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeEndPeriod(5), static_cast<MMRESULT>(TIMERR_NOCANDO));  // its one begin is used up
    EXPECT_EQ(kwin::ActiveTimerPeriods(), active + 1);
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(kwin::ActiveTimerPeriods(), active);
    EXPECT_EQ(kwin::TimerPeriodBeginCalls(), begins + 4);
}

TEST(StandInClock, OverrideReplacesTheClockUntilCleared) {
    for (DWORD value : {0u, 1234u, 0xFFFFFFFFu}) {
        kwin::SetTimeGetTimeOverride(value);
        EXPECT_EQ(timeGetTime(), value);
        EXPECT_EQ(timeGetTime(), value);  // it does not move by itself
    }
    kwin::SetTimeGetTimeOverride(std::nullopt);
    DWORD before = timeGetTime();
    Sleep(20);
    DWORD elapsed = timeGetTime() - before;
    EXPECT_GE(elapsed, 15u);
    EXPECT_LT(elapsed, 2000u);
}

}  // namespace
