// Simulated processes: program registration, process start and end, the
// calls on process handles, the command line, the module path and the
// Program Files folder.
#include "platform/posix/process.h"

#include "platform/posix/device_tree.h"
#include "platform/posix/faults.h"
#include "platform/posix/threads.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>

namespace kwin {
namespace {

thread_local std::shared_ptr<ProcessObject> currentProcess;

struct Programs {
    std::mutex mutex;
    std::vector<std::pair<std::wstring, ProgramLoader>> loaders;
    std::vector<std::shared_ptr<ProcessObject>> started;  // every process since the last reset
    std::wstring programFiles = L"C:\\Program Files";
};
Programs& ThePrograms() {
    static auto* programs = new Programs;  // never destroyed: threads may outlive main
    return *programs;
}

std::atomic<DWORD> lastProcessId{1000};

ProgramLoader FindLoader(const std::wstring& imagePath) {
    Programs& programs = ThePrograms();
    std::lock_guard lock(programs.mutex);
    for (const auto& [path, loader] : programs.loaders) {
        if (EqualsIgnoringAsciiCase(path, imagePath)) return loader;
    }
    return nullptr;
}

// Ends the process when its main thread leaves the program's entry, by
// returning or by being terminated: the other threads end too, and the
// handles the process still holds are closed, as process exit does.
class ProcessEndGuard {
public:
    explicit ProcessEndGuard(ProcessObject& process) : process_(process) {}
    ProcessEndGuard(const ProcessEndGuard&) = delete;
    ProcessEndGuard& operator=(const ProcessEndGuard&) = delete;
    void SetReturned(DWORD code) { returned_ = code; }

    ~ProcessEndGuard() {
        std::vector<std::shared_ptr<ThreadObject>> others;
        {
            KernelLockGuard lock;
            for (const auto& weak : process_.threads) {
                auto thread = weak.lock();
                if (thread && thread.get() != CurrentThreadObject() && !thread->finished) others.push_back(thread);
            }
        }
        for (const auto& thread : others) TerminateThreadObject(*thread, process_.terminateExitCode);
        for (const auto& thread : others) {
            KernelObject* object = thread.get();
            WaitForObjects(1, &object, true, 5000);
        }
        const int current = ReleaseCurrentStationAndDesktop(process_);
        const int left = CloseHandlesOwnedBy(process_.id);
        KernelLockGuard lock;
        process_.currentStationAndDesktopAtExit = current;
        process_.handlesLeftAtExit = left;
        process_.exitCode = process_.terminated ? process_.terminateExitCode : returned_;
        process_.endedAt = MachineMilliseconds();
        process_.finished = true;
        process_.WakeWaitersLocked();
    }

private:
    ProcessObject& process_;
    DWORD returned_ = 0;
};

// The main thread of a process. Must not be noexcept and must not catch:
// TerminateProcess's cancellation passes through.
DWORD WINAPI ProcessMain(LPVOID parameter) {
    ProcessObject& process = *static_cast<ProcessObject*>(parameter);  // kept alive by the thread object
    ProcessEndGuard guard(process);
    std::vector<std::wstring> args = process.args;
    std::vector<WCHAR*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int code = process.entry(static_cast<int>(args.size()), argv.data());
    guard.SetReturned(static_cast<DWORD>(code));
    return static_cast<DWORD>(code);
}

bool IsCurrentProcessPseudoHandle(HANDLE handle) { return handle == INVALID_HANDLE_VALUE; }

std::shared_ptr<ProcessObject> ResolveProcess(HANDLE handle) {
    if (IsCurrentProcessPseudoHandle(handle)) return CurrentProcessShared();
    return ReferenceHandleAs<ProcessObject>(handle, ObjectType::Process);
}

bool IsSpace(WCHAR c) { return c == L' ' || c == L'\t'; }

// The host program's own path, for GetModuleFileNameW outside a simulated process.
const WCHAR kHostImagePath[] = L"C:\\korvex\\host.exe";

}  // namespace

ProcessObject* CurrentProcess() { return currentProcess.get(); }
std::shared_ptr<ProcessObject> CurrentProcessShared() { return currentProcess; }
void SetCurrentProcess(std::shared_ptr<ProcessObject> process) { currentProcess = std::move(process); }
DWORD CurrentProcessIdValue() { return currentProcess ? currentProcess->id : 0; }

std::shared_ptr<ProcessObject> FindProcess(DWORD processId) {
    Programs& programs = ThePrograms();
    std::lock_guard lock(programs.mutex);
    for (const auto& process : programs.started) {
        if (process->id == processId) return process;
    }
    return nullptr;
}

// CommandLineToArgvW's rules: argument zero ends at the first blank, or is
// quoted without escapes; later arguments follow the backslash-and-quote
// rules (2n backslashes and a quote: n backslashes, the quote toggles
// quoting; 2n+1: n backslashes and a literal quote; "" inside quotes: a
// literal quote).
std::vector<std::wstring> SplitCommandLine(const std::wstring& line) {
    std::vector<std::wstring> args;
    size_t i = 0;
    std::wstring first;
    if (i < line.size() && line[i] == L'"') {
        ++i;
        while (i < line.size() && line[i] != L'"') first.push_back(line[i++]);
        if (i < line.size()) ++i;
    } else {
        while (i < line.size() && !IsSpace(line[i])) first.push_back(line[i++]);
    }
    args.push_back(first);
    while (i < line.size() && IsSpace(line[i])) ++i;
    while (i < line.size()) {
        std::wstring arg;
        bool quoted = false;
        while (i < line.size() && (quoted || !IsSpace(line[i]))) {
            if (line[i] == L'\\') {
                size_t backslashes = 0;
                while (i < line.size() && line[i] == L'\\') {
                    ++backslashes;
                    ++i;
                }
                if (i < line.size() && line[i] == L'"') {
                    arg.append(backslashes / 2, L'\\');
                    if (backslashes % 2 == 1) {
                        arg.push_back(L'"');
                        ++i;
                    }
                } else {
                    arg.append(backslashes, L'\\');
                }
            } else if (line[i] == L'"') {
                ++i;
                if (quoted && i < line.size() && line[i] == L'"') {
                    arg.push_back(L'"');
                    ++i;
                } else {
                    quoted = !quoted;
                }
            } else {
                arg.push_back(line[i++]);
            }
        }
        args.push_back(arg);
        while (i < line.size() && IsSpace(line[i])) ++i;
    }
    return args;
}

void RegisterProgram(const std::wstring& imagePath, ProgramLoader loader) {
    Programs& programs = ThePrograms();
    std::lock_guard lock(programs.mutex);
    for (auto& [path, existing] : programs.loaders) {
        if (EqualsIgnoringAsciiCase(path, imagePath)) {
            existing = std::move(loader);
            return;
        }
    }
    programs.loaders.emplace_back(imagePath, std::move(loader));
}

void ClearPrograms() {
    Programs& programs = ThePrograms();
    std::lock_guard lock(programs.mutex);
    programs.loaders.clear();
    programs.programFiles = L"C:\\Program Files";
}

bool StartProcess(const ProcessStart& start, PROCESS_INFORMATION* info, DWORD* error) {
    auto fail = [&](DWORD code) {
        if (error) *error = code;
        return false;
    };
    ProgramLoader loader = FindLoader(start.imagePath);
    if (!loader) return fail(ERROR_FILE_NOT_FOUND);
    ProcessEntry entry = loader();
    if (!entry) return fail(ERROR_BAD_EXE_FORMAT);

    auto process = std::make_shared<ProcessObject>();
    process->id = lastProcessId.fetch_add(4, std::memory_order_relaxed) + 4;
    process->parentId = CurrentProcessIdValue();
    process->start = start;
    if (process->start.user.empty()) {
        process->start.user = kLocalSystem;
        process->start.privileges = LocalSystemPrivileges();
    }
    if (process->start.environment.empty()) process->start.environment = EnvironmentOf(kLocalSystem);
    process->startedAt = MachineMilliseconds();
    std::wstring line = start.commandLine;
    if (line.empty()) line = L"\"" + start.imagePath + L"\"";
    process->args = SplitCommandLine(line);
    process->commandLine.assign(line.begin(), line.end());
    process->commandLine.push_back(L'\0');
    process->entry = std::move(entry);
    {
        Programs& programs = ThePrograms();
        std::lock_guard lock(programs.mutex);
        programs.started.push_back(process);
    }

    HANDLE processHandle = InsertHandle(process);
    if (!processHandle) return fail(ERROR_NOT_ENOUGH_MEMORY);
    DWORD threadId = 0;
    HANDLE threadHandle = CreateThreadIn(process, ProcessMain, process.get(), 0, &threadId);
    if (!threadHandle) {
        RemoveHandle(processHandle);
        KernelLockGuard lock;
        process->finished = true;
        process->exitCode = ERROR_NOT_ENOUGH_MEMORY;
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (info) {
        info->hProcess = processHandle;
        info->hThread = threadHandle;
        info->dwProcessId = process->id;
        info->dwThreadId = threadId;
    } else {
        RemoveHandle(processHandle);
        RemoveHandle(threadHandle);
    }
    return true;
}

namespace {

std::vector<std::shared_ptr<ProcessObject>> StartedProcesses() {
    Programs& programs = ThePrograms();
    std::lock_guard lock(programs.mutex);
    return programs.started;
}

// Under the kernel lock.
ProcessRecord RecordOf(const ProcessObject& process) {
    ProcessRecord record;
    record.processId = process.id;
    record.parentProcessId = process.parentId;
    record.imagePath = process.start.imagePath;
    record.commandLine = std::wstring(process.commandLine.data());
    record.argv = process.args;
    record.sessionId = process.start.sessionId;
    record.desktop = process.start.desktop;
    record.creationFlags = process.start.creationFlags;
    record.startedByServiceManager = process.start.startedByServiceManager;
    record.user = process.start.user;
    record.privileges = process.start.privileges;
    record.environment = process.start.environment;
    record.startedAt = process.startedAt;
    record.endedAt = process.endedAt;
    record.finished = process.finished;
    record.terminated = process.terminated;
    record.exitCode = process.exitCode;
    record.handlesLeftAtExit = process.handlesLeftAtExit;
    record.currentStationAndDesktopAtExit = process.currentStationAndDesktopAtExit;
    return record;
}

}  // namespace

std::vector<ProcessRecord> ProcessHistory() {
    const auto processes = StartedProcesses();
    std::vector<ProcessRecord> records;
    KernelLockGuard lock;
    for (const auto& process : processes) records.push_back(RecordOf(*process));
    return records;
}

std::vector<ProcessRecord> RunningProcesses() {
    const auto processes = StartedProcesses();
    std::vector<ProcessRecord> records;
    KernelLockGuard lock;
    for (const auto& process : processes) {
        if (!process->finished) records.push_back(RecordOf(*process));
    }
    return records;
}

std::optional<ProcessRecord> ProcessRecordOf(DWORD processId) {
    const auto processes = StartedProcesses();
    KernelLockGuard lock;
    for (const auto& process : processes) {
        if (process->id == processId) return RecordOf(*process);
    }
    return std::nullopt;
}

void ResetProcessHistory() {
    std::vector<std::shared_ptr<ProcessObject>> dropped;  // released after the unlock
    Programs& programs = ThePrograms();
    std::lock_guard lock(programs.mutex);
    dropped.swap(programs.started);
}

bool WaitAllProcessesEnded(DWORD milliseconds) {
    const auto processes = StartedProcesses();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (const auto& process : processes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        KernelObject* object = process.get();
        if (WaitForObjects(1, &object, true, static_cast<DWORD>(std::max<long long>(0, left.count()))) != WAIT_OBJECT_0) {
            return false;
        }
    }
    return true;
}

void SetProgramFilesFolder(const std::wstring& folder) {
    Programs& programs = ThePrograms();
    std::lock_guard lock(programs.mutex);
    programs.programFiles = folder;
}

}  // namespace kwin

using kwin::ProcessObject;

extern "C" HANDLE WINAPI GetCurrentProcess(void) { return INVALID_HANDLE_VALUE; }

extern "C" DWORD WINAPI GetCurrentProcessId(void) { return kwin::CurrentProcessIdValue(); }

extern "C" BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    if (kwin::ShouldFail("TerminateProcess")) return FALSE;
    auto process = kwin::ResolveProcess(hProcess);
    if (!process) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::vector<std::shared_ptr<kwin::ThreadObject>> threads;
    {
        kwin::KernelLockGuard lock;
        if (process->finished) {
            kwin::SetLastErrorValue(ERROR_ACCESS_DENIED);  // as Windows answers for a process that has ended
            return FALSE;
        }
        if (!process->terminated) {
            process->terminated = true;
            process->terminateExitCode = uExitCode;
        }
        for (const auto& weak : process->threads) {
            if (auto thread = weak.lock()) threads.push_back(thread);
        }
    }
    // Asynchronous, as on Windows: the threads end, then the process.
    for (const auto& thread : threads) kwin::TerminateThreadObject(*thread, uExitCode);
    return TRUE;
}

extern "C" BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    if (kwin::ShouldFail("GetExitCodeProcess")) return FALSE;
    auto process = kwin::ResolveProcess(hProcess);
    if (!process && !kwin::IsCurrentProcessPseudoHandle(hProcess)) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!lpExitCode) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!process) {
        *lpExitCode = STILL_ACTIVE;
        return TRUE;
    }
    kwin::KernelLockGuard lock;
    *lpExitCode = process->finished ? process->exitCode : STILL_ACTIVE;
    return TRUE;
}

extern "C" LPWSTR WINAPI GetCommandLineW(void) {
    static WCHAR hostCommandLine[] = L"C:\\korvex\\host.exe";
    ProcessObject* process = kwin::CurrentProcess();
    return process ? process->commandLine.data() : hostCommandLine;
}

// One allocation: the pointer array, then the strings; LocalFree releases it.
extern "C" LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs) {
    if (!pNumArgs) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::vector<std::wstring> args;
    if (!lpCmdLine || !*lpCmdLine) {
        WCHAR path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        args.push_back(path);
    } else {
        args = kwin::SplitCommandLine(lpCmdLine);
    }
    size_t bytes = (args.size() + 1) * sizeof(LPWSTR);
    for (const auto& arg : args) bytes += (arg.size() + 1) * sizeof(WCHAR);
    auto* block = static_cast<char*>(std::malloc(bytes));
    if (!block) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto** argv = reinterpret_cast<LPWSTR*>(block);
    auto* text = reinterpret_cast<WCHAR*>(block + (args.size() + 1) * sizeof(LPWSTR));
    for (size_t i = 0; i < args.size(); ++i) {
        argv[i] = text;
        std::wmemcpy(text, args[i].c_str(), args[i].size() + 1);
        text += args[i].size() + 1;
    }
    argv[args.size()] = nullptr;
    *pNumArgs = static_cast<int>(args.size());
    return argv;
}

extern "C" HANDLE WINAPI LocalFree(HANDLE hMem) {
    std::free(hMem);
    return nullptr;
}

// The process's image path, whatever module is asked for. Truncated to the
// buffer with ERROR_INSUFFICIENT_BUFFER and the buffer's size returned, as
// Windows does.
extern "C" DWORD WINAPI GetModuleFileNameW(HMODULE, LPWSTR lpFilename, DWORD nSize) {
    if (kwin::ShouldFail("GetModuleFileNameW")) return 0;
    ProcessObject* process = kwin::CurrentProcess();
    const std::wstring path = process ? process->start.imagePath : std::wstring(kwin::kHostImagePath);
    if (!lpFilename || nSize == 0) {
        kwin::SetLastErrorValue(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() + 1 > nSize) {
        std::wmemcpy(lpFilename, path.c_str(), nSize - 1);
        lpFilename[nSize - 1] = L'\0';
        kwin::SetLastErrorValue(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::wmemcpy(lpFilename, path.c_str(), path.size() + 1);
    kwin::SetLastErrorValue(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

// Only CSIDL_PROGRAM_FILES is known; the buffer is MAX_PATH characters.
extern "C" BOOL WINAPI SHGetSpecialFolderPathW(HWND, LPWSTR pszPath, int csidl, BOOL) {
    if (kwin::ShouldFail("SHGetSpecialFolderPathW")) return FALSE;
    if (!pszPath || csidl != CSIDL_PROGRAM_FILES) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::wstring folder;
    {
        kwin::Programs& programs = kwin::ThePrograms();
        std::lock_guard lock(programs.mutex);
        folder = programs.programFiles;
    }
    if (folder.size() >= MAX_PATH) folder.resize(MAX_PATH - 1);
    std::wmemcpy(pszPath, folder.c_str(), folder.size() + 1);
    return TRUE;
}

extern "C" errno_t wcscat_s(WCHAR* strDestination, size_t numberOfElements, const WCHAR* strSource) {
    if (!strDestination || numberOfElements == 0) return EINVAL;
    if (!strSource) {
        strDestination[0] = L'\0';
        return EINVAL;
    }
    size_t length = 0;
    while (length < numberOfElements && strDestination[length] != L'\0') ++length;
    if (length == numberOfElements) {
        strDestination[0] = L'\0';
        return EINVAL;
    }
    const size_t sourceLength = std::wcslen(strSource);
    if (length + sourceLength + 1 > numberOfElements) {
        strDestination[0] = L'\0';
        return ERANGE;
    }
    std::wmemcpy(strDestination + length, strSource, sourceLength + 1);
    return 0;
}
