// Simulated processes: what a process handle refers to, and which process
// the calling thread belongs to. Within the one Linux process, a simulated
// process is a group of stand-in threads with their own process context
// (image, command line, session, handles it owns, service connection).
#pragma once

#include "platform/posix/kernel.h"
#include "platform/posix/object.h"

#include <memory>
#include <string>
#include <vector>

namespace kwin {

struct ThreadObject;
struct ServiceConnection;

struct ProcessObject final : KernelObject {
    ProcessObject() : KernelObject(ObjectType::Process) {}
    bool IsSignalledLocked() const override { return finished; }

    // Fixed before the main thread starts.
    DWORD id = 0;
    DWORD parentId = 0;
    ProcessStart start;
    std::vector<std::wstring> args;
    std::vector<WCHAR> commandLine;  // what GetCommandLineW returns, terminated
    ProcessEntry entry;

    // Guarded by KernelLock().
    bool finished = false;
    bool terminated = false;
    DWORD exitCode = STILL_ACTIVE;
    DWORD terminateExitCode = 0;
    int handlesLeftAtExit = 0;
    int currentStationAndDesktopAtExit = 0;
    ULONGLONG startedAt = 0;  // machine milliseconds; fixed before the main thread starts
    ULONGLONG endedAt = 0;
    std::vector<std::weak_ptr<ThreadObject>> threads;

    // Set once by StartServiceCtrlDispatcherW on the process's main thread.
    std::shared_ptr<ServiceConnection> service;

    // The window station SetProcessWindowStation made current (null: the
    // initial one). Guarded by the windowing state's mutex.
    HANDLE windowStation = nullptr;
};

// Ends the ending process's hold on its current window station and the calling
// (main) thread's current desktop, as the system does at a process's end: the
// process could not close them itself while they were current. Returns how
// many handles that released.
int ReleaseCurrentStationAndDesktop(ProcessObject& process);

// The calling thread's process; null for the host program's own threads.
ProcessObject* CurrentProcess();
std::shared_ptr<ProcessObject> CurrentProcessShared();
void SetCurrentProcess(std::shared_ptr<ProcessObject> process);
// A process started since the last reset, by ID; null when unknown.
std::shared_ptr<ProcessObject> FindProcess(DWORD processId);

// CreateThread for a given process (the calling thread's, or a new one's).
HANDLE CreateThreadIn(const std::shared_ptr<ProcessObject>& process, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                      DWORD creationFlags, LPDWORD threadId);
// The calling thread's object; null for a thread CreateThread did not make.
ThreadObject* CurrentThreadObject();
// TerminateThread on a thread object; KernelLock() must not be held.
void TerminateThreadObject(ThreadObject& thread, DWORD exitCode);

// Splits a command line the way CommandLineToArgvW does.
std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);

}  // namespace kwin
