// Long cycles of KorvexS.exe on real Win32: installed as an own-process
// service and started and stopped through the service control manager, and
// run in force-close mode against marked windows of this program and of a
// second process, many times over. After the cycles this program's handles
// and threads and the prefix's process list are what they were after the
// first cycle.
//
//   cycles_test [path\to\KorvexS.exe] [--cycles=N]   (default: 200 cycles)
#include "tests/wine/marked_windows.h"
#include "tests/wine/module_path.h"
#include "tests/wine/process_counts.h"
#include "tests/wine/installed_service.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

using namespace korvex::wine_test;

std::wstring exePath;
int cycles = 200;
// Created before the first test, so that its thread counts as hung (and is
// not waited for) by the time the force-close cycles mark it.
std::unique_ptr<SilentWindowThread> hungWindow;

constexpr wchar_t kServiceName[] = L"KorvexSCycles";

class ServiceCycles : public InstalledServiceTest {
protected:
    ServiceCycles() : InstalledServiceTest(kServiceName, exePath) {}

    // Start, RUNNING, stop, STOPPED with exit code 0, and the service's
    // process ended with 0.
    void Cycle(int cycle) {
        ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << "cycle " << cycle << ": error " << GetLastError();
        SERVICE_STATUS status = {};
        ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING, 30000, status, 2))
            << "cycle " << cycle << ": state " << status.dwCurrentState << ", exit code " << status.dwWin32ExitCode;
        SERVICE_STATUS_PROCESS processStatus = {};
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                         reinterpret_cast<BYTE*>(&processStatus), sizeof(processStatus), &needed));
        Handle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processStatus.dwProcessId));
        ASSERT_NE(process.get(), nullptr) << "cycle " << cycle << ": OpenProcess: error " << GetLastError();
        SERVICE_STATUS answered = {};
        ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &answered))
            << "cycle " << cycle << ": stop: error " << GetLastError();
        ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED, 30000, status, 2))
            << "cycle " << cycle << ": state " << status.dwCurrentState;
        EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR)) << "cycle " << cycle;
        ASSERT_EQ(WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0)
            << "cycle " << cycle << ": the service process did not end";
        DWORD exitCode = 1234;
        ASSERT_TRUE(GetExitCodeProcess(process.get(), &exitCode));
        EXPECT_EQ(exitCode, 0u) << "cycle " << cycle;
    }
};

TEST_F(ServiceCycles, StartAndStopThroughTheServiceManagerLeaveNothingBehind) {
    // The first cycle loads what the program keeps for its life.
    ASSERT_NO_FATAL_FAILURE(Cycle(0));
    const ProcessCounts baseline = CountsNow();
    const std::vector<std::wstring> processes = ProcessList();
    const ULONGLONG start = GetTickCount64();
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        ASSERT_NO_FATAL_FAILURE(Cycle(cycle));
    }
    const ULONGLONG elapsed = GetTickCount64() - start;
    const ProcessCounts after = SettleTo(baseline);
    const std::vector<std::wstring> processesAfter = SettleTo(processes);
    printf("%d service start/stop cycles: %llu ms (%.1f ms each); %s (baseline %s); %zu processes (baseline %zu)\n",
           cycles, elapsed, static_cast<double>(elapsed) / cycles, Describe(after).c_str(),
           Describe(baseline).c_str(), processesAfter.size(), processes.size());
    EXPECT_EQ(after, baseline) << Describe(after) << " against " << Describe(baseline);
    EXPECT_EQ(processesAfter, processes) << Describe(processesAfter) << " against " << Describe(processes);
}

// Each instance asks this thread's panel, the other process's panel and
// decoy, and gives up on the hung window at once; every instance ends with 0.
TEST(ForceCloseCycles, InstancesAskEveryMarkedWindowEachTimeAndLeaveNothingBehind) {
    ASSERT_NE(hungWindow->get(), nullptr);
    hungWindow->WaitUntilHung();
    ASSERT_TRUE(hungWindow->Mark());
    MarkedWindow panel(kCardId, reinterpret_cast<HANDLE>(1));
    ASSERT_NE(panel.get(), nullptr);
    WindowHolderProcess holder;
    ASSERT_TRUE(holder.ready) << "the window-holding process did not start";

    auto cycle = [](int n) {
        const InstanceRun run = RunForceCloseInstance(exePath);
        ASSERT_TRUE(run.started) << "cycle " << n << ": error " << GetLastError();
        ASSERT_TRUE(run.ended) << "cycle " << n << ": the instance did not end within 30 s";
        EXPECT_EQ(run.exitCode, 0u) << "cycle " << n;
    };
    ASSERT_NO_FATAL_FAILURE(cycle(0));
    const ProcessCounts baseline = CountsNow();
    const std::vector<std::wstring> processes = ProcessList({holder.processId()});
    const ULONGLONG start = GetTickCount64();
    for (int n = 1; n <= cycles; ++n) {
        ASSERT_NO_FATAL_FAILURE(cycle(n));
    }
    const ULONGLONG elapsed = GetTickCount64() - start;
    const ProcessCounts after = SettleTo(baseline);
    const std::vector<std::wstring> processesAfter = SettleTo(processes, {holder.processId()});
    ASSERT_TRUE(holder.Stop()) << "the window-holding process did not end";
    hungWindow->Release();
    printf("%d force-close instances: %llu ms (%.1f ms each); %s (baseline %s); %zu processes (baseline %zu)\n",
           cycles, elapsed, static_cast<double>(elapsed) / cycles, Describe(after).c_str(),
           Describe(baseline).c_str(), processesAfter.size(), processes.size());

    EXPECT_EQ(after, baseline) << Describe(after) << " against " << Describe(baseline);
    EXPECT_EQ(processesAfter, processes) << Describe(processesAfter) << " against " << Describe(processes);
    const int instances = cycles + 1;
    EXPECT_EQ(panel.asked().count, instances);
    EXPECT_EQ(holder.asked(WindowHolderProcess::kPanel).count, instances);
    EXPECT_EQ(holder.asked(WindowHolderProcess::kDecoy).count, instances);
    EXPECT_EQ(holder.asked(WindowHolderProcess::kNullValued).count, 0);
    EXPECT_EQ(holder.asked(WindowHolderProcess::kOtherCard).count, 0);
    EXPECT_FALSE(holder.asked(WindowHolderProcess::kPanel).otherParameters);
    EXPECT_FALSE(panel.asked().otherParameters);
    EXPECT_EQ(hungWindow->asked().count, 0) << "a send to a hung thread is given up, not queued";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], kHoldWindowsOption) == 0) return HoldWindowsMain(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    int positional = 1;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--cycles=", 9) == 0) {
            cycles = atoi(argv[i] + 9);
        } else {
            argv[positional++] = argv[i];
        }
    }
    if (cycles < 1 || cycles > 4000) {
        fprintf(stderr, "--cycles: 1 to 4000\n");
        return 2;
    }
    exePath = TargetPath(positional, argv, L"KorvexS.exe");
    hungWindow = std::make_unique<SilentWindowThread>(false);
    const int result = RUN_ALL_TESTS();
    hungWindow.reset();
    return result;
}
