// timeGetTime, Sleep and timer periods.
#include "tests/conformance/win32_test_support.h"

namespace conformance {
namespace {

TEST(Time, TimeGetTimeNeverGoesBackwardsAndFollowsSleep) {
    DWORD previous = timeGetTime();
    for (int i = 0; i < 100000; ++i) {
        DWORD now = timeGetTime();
        ASSERT_LE(now - previous, 1000u) << "went backwards or jumped";  // unsigned: backwards is huge
        previous = now;
    }
    DWORD before = timeGetTime();
    Sleep(50);
    DWORD elapsed = timeGetTime() - before;
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 2000u);
}

TEST(Time, SleepIsRoughlyHonoured) {
    ASSERT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    for (DWORD ms : {1u, 20u, 80u}) {
        DWORD before = timeGetTime();
        Sleep(ms);
        DWORD elapsed = timeGetTime() - before;
        EXPECT_GE(elapsed + 2, ms) << ms;  // a clock tick of slack
        EXPECT_LT(elapsed, ms + 1000) << ms;
    }
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
}

TEST(Time, SleepZeroReturnsPromptly) {
    DWORD before = timeGetTime();
    for (int i = 0; i < 100; ++i) Sleep(0);
    EXPECT_LT(timeGetTime() - before, 1000u);
}

TEST(Time, TimerPeriodsPairAndZeroIsRefused) {
    EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    EXPECT_EQ(timeBeginPeriod(0), static_cast<MMRESULT>(TIMERR_NOCANDO));
}

}  // namespace
}  // namespace conformance
