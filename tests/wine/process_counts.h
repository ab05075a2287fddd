// What a test program holds (handles, threads) and which processes the Wine
// prefix runs, to compare before and after long cycles.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace korvex::wine_test {

struct ProcessCounts {
    DWORD handles = 0;      // GetProcessHandleCount
    DWORD openHandles = 0;  // handle values that name an open object
    int threads = 0;        // this process's threads in a Toolhelp snapshot
};

// Wine 8 answers GetProcessHandleCount with 0 whatever is open, so the
// handles are also counted by asking about every handle value in turn.
inline DWORD ProbeOpenHandles() {
    DWORD open = 0, flags = 0;
    for (uintptr_t value = 4; value < 0x8000; value += 4) {
        open += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != FALSE;
    }
    return open;
}

inline ProcessCounts CountsNow() {
    ProcessCounts counts;
    if (!GetProcessHandleCount(GetCurrentProcess(), &counts.handles)) counts.handles = ~DWORD{0};
    counts.openHandles = ProbeOpenHandles();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return counts;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        counts.threads += entry.th32OwnerProcessID == GetCurrentProcessId();
    }
    CloseHandle(snapshot);
    return counts;
}

inline bool operator==(const ProcessCounts& a, const ProcessCounts& b) {
    return a.handles == b.handles && a.openHandles == b.openHandles && a.threads == b.threads;
}

// The image names of the prefix's processes, sorted, leaving out the ones
// given (this program and its helpers).
inline std::vector<std::wstring> ProcessList(std::initializer_list<DWORD> leaveOut = {}) {
    std::vector<std::wstring> names;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return names;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) continue;
        if (std::find(leaveOut.begin(), leaveOut.end(), entry.th32ProcessID) != leaveOut.end()) continue;
        names.push_back(entry.szExeFile);
    }
    CloseHandle(snapshot);
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string Describe(const ProcessCounts& c) {
    char text[96];
    snprintf(text, sizeof text, "handle count %lu, open handles %lu, threads %d", c.handles, c.openHandles, c.threads);
    return text;
}

inline std::string Describe(const std::vector<std::wstring>& names) {
    std::string text;
    for (const std::wstring& name : names) {
        if (!text.empty()) text += ", ";
        text += std::string(name.begin(), name.end());  // image names are ASCII here
    }
    return text;
}

// A thread or process that ended leaves the counts shortly after a wait on
// it returned: polls up to two seconds for the baseline. (Counting the open
// handles takes a fraction of a second under Wine.)
inline constexpr DWORD kSettleMs = 2000;

inline ProcessCounts SettleTo(const ProcessCounts& baseline) {
    const ULONGLONG deadline = GetTickCount64() + kSettleMs;
    ProcessCounts now = CountsNow();
    while (!(now == baseline) && GetTickCount64() < deadline) {
        Sleep(10);
        now = CountsNow();
    }
    return now;
}

inline std::vector<std::wstring> SettleTo(const std::vector<std::wstring>& baseline,
                                          std::initializer_list<DWORD> leaveOut = {}) {
    const ULONGLONG deadline = GetTickCount64() + kSettleMs;
    std::vector<std::wstring> now = ProcessList(leaveOut);
    while (now != baseline && GetTickCount64() < deadline) {
        Sleep(10);
        now = ProcessList(leaveOut);
    }
    return now;
}

}  // namespace korvex::wine_test
