// KorvexS.exe in force-close mode against windows of another process: this
// program marks windows with a card's instance ID, starts the program with
// the ID as its whole command line, and handles its messages meanwhile.
//
//   forceclose_test [path\to\KorvexS.exe]   (default: beside the program)
#include "tests/wine/module_path.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using korvex::wine_test::Narrow;

std::wstring exePath;

constexpr wchar_t kInstanceId[] = L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722\\4&2A1B&0&00E0";
constexpr wchar_t kClassName[] = L"KorvexForceCloseTestWindow";

struct Received {
    HWND window;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Received> received;
UINT forceCloseMessage = 0;

LRESULT CALLBACK TestWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == forceCloseMessage && forceCloseMessage != 0) {
        received.push_back({window, wParam, lParam});
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

class Window {
public:
    Window() {
        handle_ = CreateWindowExW(0, kClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    }
    ~Window() {
        if (handle_) {
            RemovePropW(handle_, kInstanceId);
            DestroyWindow(handle_);
        }
    }
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    HWND get() const { return handle_; }

private:
    HWND handle_ = nullptr;
};

TEST(WineForceClose, AsksOnlyTheFirstMarkedWindowAndEndsWithZero) {
    forceCloseMessage = RegisterWindowMessageW(L"ForceClose");
    ASSERT_NE(forceCloseMessage, 0u);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = TestWindowProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    ASSERT_NE(RegisterClassExW(&windowClass), 0) << GetLastError();

    Window unmarked, nullValued, first, second;
    for (const Window* window : {&unmarked, &nullValued, &first, &second}) ASSERT_NE(window->get(), nullptr);
    ASSERT_TRUE(SetPropW(nullValued.get(), kInstanceId, nullptr));
    ASSERT_TRUE(SetPropW(first.get(), kInstanceId, reinterpret_cast<HANDLE>(1)));
    // The same ID in other letter case names the same property.
    std::wstring lower(kInstanceId);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](wchar_t c) { return static_cast<wchar_t>(towlower(c)); });
    ASSERT_TRUE(SetPropW(second.get(), lower.c_str(), reinterpret_cast<HANDLE>(2)));
    ASSERT_EQ(GetPropW(second.get(), kInstanceId), reinterpret_cast<HANDLE>(2));

    // Which marked window the desktop lists first.
    std::vector<HWND> order;
    EnumDesktopWindows(GetThreadDesktop(GetCurrentThreadId()), CollectWindow, reinterpret_cast<LPARAM>(&order));
    const auto firstAt = std::find(order.begin(), order.end(), first.get());
    const auto secondAt = std::find(order.begin(), order.end(), second.get());
    ASSERT_TRUE(firstAt != order.end() && secondAt != order.end()) << "the test's windows are top-level windows of its desktop";
    const HWND expected = firstAt < secondAt ? first.get() : second.get();

    std::wstring commandLine = kInstanceId;  // the whole command line, as the service passes it
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(exePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                               CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process))
        << Narrow(exePath) << ": error " << GetLastError();
    CloseHandle(process.hThread);

    // Handle the messages sent to this thread's windows until the instance has ended.
    const DWORD deadline = GetTickCount() + 30000;
    bool ended = false;
    while (!ended && GetTickCount() < deadline) {
        const DWORD wait = MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, 100, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0) ended = true;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    EXPECT_TRUE(ended) << "the instance did not end within 30 s";
    if (!ended) TerminateProcess(process.hProcess, 1);
    DWORD exitCode = STILL_ACTIVE;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);

    EXPECT_EQ(exitCode, 0u);
    ASSERT_EQ(received.size(), 1u) << "one desktop: one window asked";
    EXPECT_EQ(received[0].window, expected);
    EXPECT_EQ(received[0].wParam, 0u);
    EXPECT_EQ(received[0].lParam, 0);
    UnregisterClassW(kClassName, GetModuleHandleW(nullptr));
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    exePath = korvex::wine_test::TargetPath(argc, argv, L"KorvexS.exe");
    return RUN_ALL_TESTS();
}
