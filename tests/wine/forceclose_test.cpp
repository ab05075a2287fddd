// KorvexS.exe in force-close mode against real windows of real threads and
// processes: this program and a second process it starts mark windows with a
// card's instance ID, the instance is started with the ID as its whole
// command line, and each window counts what it received.
//
//   forceclose_test [path\to\KorvexS.exe]   (default: beside the program)
#include "service/forceclose.h"
#include "service/launch.h"
#include "tests/wine/marked_windows.h"
#include "tests/wine/module_path.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace korvex::wine_test;

std::wstring exePath;
// Created unmarked before the first test, so that the silent one has been
// silent long enough to count as hung by the time the test that marks them
// runs; the silent one is the newer, so listed before the panel.
std::unique_ptr<MarkedWindow> earlyPanel;
std::unique_ptr<SilentWindowThread> earlySilentWindow;

BOOL CALLBACK CollectWindow(HWND window, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

// The order in which the desktop lists its top-level windows (the order the
// instance asks them in).
std::vector<HWND> DesktopOrder() {
    std::vector<HWND> order;
    EnumDesktopWindows(GetThreadDesktop(GetCurrentThreadId()), CollectWindow, reinterpret_cast<LPARAM>(&order));
    return order;
}

size_t PositionOf(const std::vector<HWND>& order, HWND window) {
    return static_cast<size_t>(std::find(order.begin(), order.end(), window) - order.begin());
}

// A silent window is asked within the bound of one send; the windows after
// it are asked all the same, in this process and in another, marks in any
// letter case included; null-valued marks and other cards' marks are not.
TEST(WineForceClose, EveryMarkedWindowIsAskedOnceAndASilentOneCostsOneSendBound) {
    const std::wstring lower = LowerCase(kCardId);
    MarkedWindow panel(kCardId, reinterpret_cast<HANDLE>(1));
    MarkedWindow lowerCaseMark(lower.c_str(), reinterpret_cast<HANDLE>(2));
    MarkedWindow nullValued(kCardId, nullptr);
    MarkedWindow unmarked(nullptr, nullptr);
    MarkedWindow otherCard(kOtherCardId, reinterpret_cast<HANDLE>(1));
    for (const MarkedWindow* window : {&panel, &lowerCaseMark, &nullValued, &unmarked, &otherCard}) {
        ASSERT_NE(window->get(), nullptr) << "CreateWindowExW/SetPropW: error " << GetLastError();
    }
    WindowHolderProcess holder;
    ASSERT_TRUE(holder.ready) << "the window-holding process did not start";
    // Created last, so listed before the others: they are asked after it.
    SilentWindowThread silent;
    ASSERT_NE(silent.get(), nullptr);
    const std::vector<HWND> order = DesktopOrder();
    ASSERT_LT(PositionOf(order, silent.get()), order.size());
    ASSERT_LT(PositionOf(order, silent.get()), PositionOf(order, panel.get()))
        << "the silent window must come before an answering one for this test to show anything";

    const InstanceRun run = RunForceCloseInstance(exePath);
    ASSERT_TRUE(run.started) << Narrow(exePath) << ": error " << GetLastError();
    silent.Release();
    ASSERT_TRUE(holder.Stop()) << "the window-holding process did not end";
    printf("force-close instance with one silent window: %lu ms\n", run.elapsedMs);

    EXPECT_TRUE(run.ended) << "the instance did not end within 30 s";
    EXPECT_EQ(run.exitCode, 0u);
    // The silent window was asked exactly once: the instance waited out one
    // send's bound for it (a skipped window costs nothing, a second send as
    // much again). Its message is not handled afterwards: the sender has
    // ended by the time the thread looks.
    EXPECT_GE(run.elapsedMs + 100, kForceCloseSendTimeoutMs) << "the silent window was not waited for";
    EXPECT_LT(run.elapsedMs, kForceCloseSendTimeoutMs + 3000) << "one silent window costs one send's bound";
    EXPECT_LE(silent.asked().count, 1);
    EXPECT_LT(run.elapsedMs, kForceCloseInstanceTimeoutMs) << "the service would have ended the instance";

    struct Case {
        const char* window;
        Asked asked;
        int expected;
    };
    const Case cases[] = {
        {"panel", panel.asked(), 1},
        {"marked in lower case", lowerCaseMark.asked(), 1},
        {"marked with null", nullValued.asked(), 0},
        {"unmarked", unmarked.asked(), 0},
        {"marked for another card", otherCard.asked(), 0},
        {"second panel (other process)", holder.asked(WindowHolderProcess::kPanel), 1},
        {"decoy (other process)", holder.asked(WindowHolderProcess::kDecoy), 1},
        {"marked with null (other process)", holder.asked(WindowHolderProcess::kNullValued), 0},
        {"marked for another card (other process)", holder.asked(WindowHolderProcess::kOtherCard), 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.asked.count, c.expected) << c.window;
        EXPECT_FALSE(c.asked.otherParameters) << c.window << ": \"ForceClose\" is sent with both parameters 0";
    }
}

// A window whose thread has not looked for messages for longer than Windows'
// hung limit is not waited for at all: the instance ends well within one
// send's bound and the window never gets the message.
TEST(WineForceClose, AHungWindowIsNotWaitedFor) {
    ASSERT_NE(earlySilentWindow->get(), nullptr);
    ASSERT_NE(earlyPanel->get(), nullptr);
    earlySilentWindow->WaitUntilHung();
    ASSERT_TRUE(earlySilentWindow->Mark());
    ASSERT_TRUE(earlyPanel->Mark(kCardId, reinterpret_cast<HANDLE>(1)));
    const MarkedWindow& panel = *earlyPanel;
    const std::vector<HWND> order = DesktopOrder();
    ASSERT_LT(PositionOf(order, earlySilentWindow->get()), PositionOf(order, panel.get()))
        << "the hung window must come before the answering one for this test to show anything";

    const InstanceRun run = RunForceCloseInstance(exePath);
    ASSERT_TRUE(run.started) << Narrow(exePath) << ": error " << GetLastError();
    earlySilentWindow->Release();
    printf("force-close instance with one hung window: %lu ms\n", run.elapsedMs);

    EXPECT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_LT(run.elapsedMs, kForceCloseSendTimeoutMs / 2);
    EXPECT_EQ(panel.asked().count, 1);
    EXPECT_EQ(earlySilentWindow->asked().count, 0) << "a send to a hung thread is given up, not queued";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], kHoldWindowsOption) == 0) return HoldWindowsMain(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    exePath = TargetPath(argc, argv, L"KorvexS.exe");
    earlyPanel = std::make_unique<MarkedWindow>(nullptr, nullptr);
    earlySilentWindow = std::make_unique<SilentWindowThread>(false);
    const int result = RUN_ALL_TESTS();
    earlySilentWindow.reset();
    earlyPanel.reset();
    return result;
}
