// Windows that declare they hold a card (a window property named by the
// card's instance ID), for the tests of KorvexS.exe's force-close mode: each
// counts the "ForceClose" messages it received and their parameters. Real
// windows of real threads and processes: one that answers its messages, one
// whose thread never looks for them, and a helper process of the test program
// holding windows of its own.
#pragma once

#include "tests/wine/module_path.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>

namespace korvex::wine_test {

inline constexpr wchar_t kCardId[] = L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722\\4&2A1B&0&00E0";
// Another card of the same model: its marks are not the first card's.
inline constexpr wchar_t kOtherCardId[] = L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722\\4&2A1B&0&00E8";

// What one window received.
struct Asked {
    int count = 0;
    bool otherParameters = false;  // a "ForceClose" with wParam or lParam not 0
};

inline UINT ForceCloseMessage() {
    static const UINT message = RegisterWindowMessageW(L"ForceClose");
    return message;
}

inline LRESULT CALLBACK CountingWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == ForceCloseMessage() && message != 0) {
        auto* asked = reinterpret_cast<Asked*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (asked != nullptr) {
            ++asked->count;
            asked->otherParameters |= wParam != 0 || lParam != 0;
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

inline constexpr wchar_t kWindowClass[] = L"KorvexMarkedTestWindow";

inline bool RegisterCountingClass() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = CountingWindowProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// A top-level window of the calling thread, marked with `property` (none
// when null) and `value`. Destroyed by the thread that created it.
class MarkedWindow {
public:
    MarkedWindow(const wchar_t* property, HANDLE value) : property_(property ? property : L"") {
        if (!RegisterCountingClass()) return;
        handle_ = CreateWindowExW(0, kWindowClass, L"", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
        if (handle_ == nullptr) return;
        SetWindowLongPtrW(handle_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&asked_));
        if (property != nullptr && !SetPropW(handle_, property, value)) {
            DestroyWindow(handle_);
            handle_ = nullptr;
        }
    }
    ~MarkedWindow() {
        if (handle_ == nullptr) return;
        if (!property_.empty()) RemovePropW(handle_, property_.c_str());
        DestroyWindow(handle_);
    }
    MarkedWindow(const MarkedWindow&) = delete;
    MarkedWindow& operator=(const MarkedWindow&) = delete;

    HWND get() const { return handle_; }
    const Asked& asked() const { return asked_; }
    // Marks the window later (from any thread of this process).
    bool Mark(const wchar_t* property, HANDLE value) {
        if (!SetPropW(handle_, property, value)) return false;
        property_ = property;
        return true;
    }

private:
    std::wstring property_;
    HWND handle_ = nullptr;
    Asked asked_;
};

// Handles every message waiting for this thread's windows.
inline void HandleWaitingMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// The ID in lower case: the same property name to Windows.
inline std::wstring LowerCase(const wchar_t* text) {
    std::wstring lower(text);
    for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
    return lower;
}

// A window whose thread, once the window exists, does not look for
// messages until Release(): sends to it are neither answered nor handled.
// Release() lets the thread handle what was queued meanwhile, so that
// asked() shows what reached it. Marked with the card's ID from the start,
// or unmarked until Mark().
class SilentWindowThread {
public:
    explicit SilentWindowThread(bool marked = true)
        : marked_(marked), created_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        thread_ = std::thread([this] {
            window_ = CreateWindowHere(marked_);
            // One look for messages; silence counts from here.
            MSG message;
            PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
            lastLookedTick_ = GetTickCount64();
            SetEvent(created_);
            WaitForSingleObject(release_, INFINITE);
            HandleWaitingMessages();
            if (window_ != nullptr) {
                asked_ = window_->asked();
                delete window_;
            }
        });
        WaitForSingleObject(created_, 10000);
    }
    ~SilentWindowThread() {
        Release();
        CloseHandle(created_);
        CloseHandle(release_);
    }
    SilentWindowThread(const SilentWindowThread&) = delete;
    SilentWindowThread& operator=(const SilentWindowThread&) = delete;

    HWND get() const { return window_ != nullptr ? window_->get() : nullptr; }
    bool Mark() { return window_ != nullptr && window_->Mark(kCardId, reinterpret_cast<HANDLE>(7)); }
    // Windows counts a thread as hung when it has not looked for messages for
    // five seconds; waits until this one has been silent a little longer.
    void WaitUntilHung() const {
        const ULONGLONG hungAt = lastLookedTick_ + 5500;
        const ULONGLONG now = GetTickCount64();
        if (now < hungAt) Sleep(static_cast<DWORD>(hungAt - now));
    }
    // Lets the thread handle its queue, destroy its window and end.
    void Release() {
        if (!thread_.joinable()) return;
        SetEvent(release_);
        thread_.join();
    }
    // Valid after Release().
    const Asked& asked() const { return asked_; }

private:
    static MarkedWindow* CreateWindowHere(bool marked) {
        auto* window = marked ? new MarkedWindow(kCardId, reinterpret_cast<HANDLE>(7))
                              : new MarkedWindow(nullptr, nullptr);
        if (window->get() == nullptr) {
            delete window;
            return nullptr;
        }
        return window;
    }

    bool marked_;
    HANDLE created_;
    HANDLE release_;
    MarkedWindow* window_ = nullptr;
    ULONGLONG lastLookedTick_ = 0;
    Asked asked_;
    std::thread thread_;
};

// ---- A second process holding marked windows -------------------------------
//
// The test program started as `<program> --hold-windows TAG` creates a
// second panel's window (marked), a decoy of another program's kind (marked
// in lower case), a window marked with a null value and one marked with
// another card's ID, sets the event TAG-ready, handles messages until the
// event TAG-stop is set, and ends with what each window received in its exit
// code: a field per window in that order (counts beyond a field's width
// saturate), and the top bit when any "ForceClose" came with parameters
// other than 0.

inline constexpr char kHoldWindowsOption[] = "--hold-windows";

struct AskedField {
    int shift;
    int bits;
};
inline constexpr AskedField kAskedFields[] = {{0, 12}, {12, 12}, {24, 3}, {27, 3}};
inline constexpr DWORD kOtherParametersBit = 1u << 30;

inline DWORD PackAsked(const Asked* asked) {
    DWORD code = 0;
    for (size_t i = 0; i < std::size(kAskedFields); ++i) {
        const int most = (1 << kAskedFields[i].bits) - 1;
        code |= static_cast<DWORD>(asked[i].count < most ? asked[i].count : most) << kAskedFields[i].shift;
        if (asked[i].otherParameters) code |= kOtherParametersBit;
    }
    return code;
}

inline Asked UnpackAsked(DWORD code, size_t window) {
    Asked asked;
    const AskedField field = kAskedFields[window];
    asked.count = static_cast<int>((code >> field.shift) & ((1u << field.bits) - 1));
    asked.otherParameters = (code & kOtherParametersBit) != 0;
    return asked;
}

inline int HoldWindowsMain(const char* tag) {
    const std::wstring base(tag, tag + strlen(tag));  // ASCII, made by WindowHolderProcess
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, (base + L"-ready").c_str());
    HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, (base + L"-stop").c_str());
    // Failures to set up end with every field full: no expected count.
    if (ready == nullptr || stop == nullptr) return 0x7FFFFFFF;
    const std::wstring lower = LowerCase(kCardId);
    MarkedWindow panel(kCardId, reinterpret_cast<HANDLE>(3));
    MarkedWindow decoy(lower.c_str(), reinterpret_cast<HANDLE>(0x5EED));
    MarkedWindow nullValued(kCardId, nullptr);
    MarkedWindow otherCard(kOtherCardId, reinterpret_cast<HANDLE>(4));
    if (!panel.get() || !decoy.get() || !nullValued.get() || !otherCard.get()) return 0x7FFFFFFF;
    SetEvent(ready);
    // Bounded: a parent that fails never leaves this process behind for long.
    const ULONGLONG deadline = GetTickCount64() + 120000;
    while (GetTickCount64() < deadline) {
        if (MsgWaitForMultipleObjects(1, &stop, FALSE, 100, QS_ALLINPUT) == WAIT_OBJECT_0) break;
        HandleWaitingMessages();
    }
    HandleWaitingMessages();
    const Asked asked[] = {panel.asked(), decoy.asked(), nullValued.asked(), otherCard.asked()};
    CloseHandle(ready);
    CloseHandle(stop);
    return static_cast<int>(PackAsked(asked));
}

// Runs this program in --hold-windows mode; Stop() ends it and unpacks what
// its windows received.
class WindowHolderProcess {
public:
    enum Window { kPanel, kDecoy, kNullValued, kOtherCard, kWindows };

    WindowHolderProcess() {
        static int serial = 0;
        wchar_t tag[64];
        swprintf(tag, 64, L"KorvexHolder-%lu-%d", GetCurrentProcessId(), ++serial);
        ready_ = CreateEventW(nullptr, TRUE, FALSE, (std::wstring(tag) + L"-ready").c_str());
        stop_ = CreateEventW(nullptr, TRUE, FALSE, (std::wstring(tag) + L"-stop").c_str());
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --hold-windows " + tag;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process)) {
            return;
        }
        CloseHandle(process.hThread);
        process_ = process.hProcess;
        HANDLE either[] = {ready_, process_};
        ready = WaitForMultipleObjects(2, either, FALSE, 20000) == WAIT_OBJECT_0;
    }
    ~WindowHolderProcess() {
        Stop();
        if (process_ != nullptr) CloseHandle(process_);
        CloseHandle(ready_);
        CloseHandle(stop_);
    }
    WindowHolderProcess(const WindowHolderProcess&) = delete;
    WindowHolderProcess& operator=(const WindowHolderProcess&) = delete;

    // False when the process did not end in time (it is then terminated).
    bool Stop() {
        if (process_ == nullptr || stopped_) return stopped_;
        stopped_ = true;
        SetEvent(stop_);
        if (WaitForSingleObject(process_, 20000) != WAIT_OBJECT_0) {
            TerminateProcess(process_, 0xDEAD);
            WaitForSingleObject(process_, 5000);
            return false;
        }
        GetExitCodeProcess(process_, &exitCode_);
        return true;
    }
    // Valid after Stop().
    Asked asked(Window window) const { return UnpackAsked(exitCode_, window); }
    DWORD exitCode() const { return exitCode_; }
    DWORD processId() const { return process_ != nullptr ? GetProcessId(process_) : 0; }

    bool ready = false;

private:
    HANDLE ready_ = nullptr;
    HANDLE stop_ = nullptr;
    HANDLE process_ = nullptr;
    bool stopped_ = false;
    DWORD exitCode_ = 0xFFFFFFFF;
};

// ---- Force-close mode -------------------------------------------------------

struct InstanceRun {
    bool started = false;
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;
    DWORD elapsedMs = 0;
};

// Runs `exe` with the card's ID as its whole command line, as the service
// starts a force-close instance, and handles this thread's messages until it
// has ended (at most `patienceMs`; then it is terminated).
inline InstanceRun RunForceCloseInstance(const std::wstring& exe, DWORD patienceMs = 30000) {
    InstanceRun run;
    std::wstring commandLine = kCardId;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    const ULONGLONG start = GetTickCount64();
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process)) {
        return run;
    }
    run.started = true;
    CloseHandle(process.hThread);
    while (!run.ended && GetTickCount64() - start < patienceMs) {
        run.ended = MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, 100, QS_ALLINPUT) == WAIT_OBJECT_0;
        HandleWaitingMessages();
    }
    run.elapsedMs = static_cast<DWORD>(GetTickCount64() - start);
    if (!run.ended) {
        TerminateProcess(process.hProcess, 0xDEAD);
        WaitForSingleObject(process.hProcess, 5000);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hProcess);
    return run;
}

}  // namespace korvex::wine_test
