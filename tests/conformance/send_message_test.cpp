// Messages sent to another thread's window with a bound: SendMessageTimeoutW
// returns when its time is up if the window's thread does not look for
// messages, and with the answer when it does.
#include "tests/conformance/win32_test_support.h"

#ifndef _WIN32
#include "platform/posix/kernel_sessions.h"
#endif

#include <thread>

namespace conformance {
namespace {

LRESULT CALLBACK AnswerSeven(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) return 7;
#ifdef _WIN32
    return DefWindowProcW(window, message, wParam, lParam);
#else
    (void)window, (void)wParam, (void)lParam;
    return 0;
#endif
}

// A top-level window of the calling thread on its desktop.
HWND CreateWindowOfThisThread() {
#ifdef _WIN32
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = AnswerSeven;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KorvexConformanceWindow";
    RegisterClassW(&windowClass);  // a second registration fails harmlessly
    return CreateWindowExW(0, L"KorvexConformanceWindow", L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
#else
    return kwin::CreateTestWindow(0, L"WinSta0\\Default", AnswerSeven);
#endif
}

void DestroyWindowOfThisThread(HWND window) {
#ifdef _WIN32
    DestroyWindow(window);
#else
    kwin::DestroyTestWindow(window);
#endif
}

// Handles the thread's messages until the event is set.
void PumpUntilSet(HANDLE event) {
#ifdef _WIN32
    while (MsgWaitForMultipleObjects(1, &event, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
#else
    while (WaitForSingleObject(event, 0) != WAIT_OBJECT_0) kwin::PumpMessages(5);
#endif
}

// A thread with a window; it handles messages or not, until Stop().
class WindowThread {
public:
    explicit WindowThread(bool answers) : created_(NewEvent(true)), stop_(NewEvent(true)) {
        thread_ = std::thread([this, answers] {
            window_ = CreateWindowOfThisThread();
            SetEvent(created_.get());
            if (answers) {
                PumpUntilSet(stop_.get());
            } else {
                WaitForSingleObject(stop_.get(), INFINITE);
            }
            DestroyWindowOfThisThread(window_);
        });
        WaitForSingleObject(created_.get(), kPatienceMs);
    }
    ~WindowThread() {
        SetEvent(stop_.get());
        thread_.join();
    }
    HWND window() const { return window_; }

private:
    ScopedHandle created_;
    ScopedHandle stop_;
    HWND window_ = nullptr;
    std::thread thread_;
};

TEST(SendMessageTimeout, AWindowWhoseThreadDoesNotLookReturnsWhenTheTimeIsUp) {
    WindowThread silent(false);
    ASSERT_NE(silent.window(), nullptr);
    DWORD_PTR answer = 123;
    const DWORD before = timeGetTime();
    const LRESULT sent = SendMessageTimeoutW(silent.window(), WM_APP, 0, 0, SMTO_ABORTIFHUNG, 300, &answer);
    const DWORD waited = timeGetTime() - before;
    const DWORD error = GetLastError();
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_GE(waited + 20, 300u) << "not hung yet: the whole time is waited";
    EXPECT_LT(waited, 300u + kPatienceMs);
}

TEST(SendMessageTimeout, AWindowWhoseThreadLooksAnswers) {
    WindowThread answering(true);
    ASSERT_NE(answering.window(), nullptr);
    DWORD_PTR answer = 0;
    EXPECT_NE(SendMessageTimeoutW(answering.window(), WM_APP, 0, 0, SMTO_ABORTIFHUNG, kPatienceMs, &answer), 0);
    EXPECT_EQ(answer, 7u);
}

}  // namespace
}  // namespace conformance
