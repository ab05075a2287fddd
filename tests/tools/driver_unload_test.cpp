// A host that loads libKorvexASIO.so with dlopen, drops its last reference
// to the driver from inside its buffer switch and unloads the library at
// once, while the stream thread is still on its way out of the library's
// code. The thread's own reference keeps the code mapped until the thread
// has left it; the library goes only then. Run in a child process: before
// that was so, the child crashed.
#include "asio/driver/asio.h"
#include "platform/posix/kernel.h"
#include "sim/machine.h"
#include "tools/korvex-sim/driver_module.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

namespace {

std::atomic<IASIO*> theDriver{nullptr};
std::atomic<bool> released{false};
std::atomic<bool> unloaded{false};

bool WaitFor(const std::atomic<bool>& flag, int milliseconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The first buffer switch drops the host's last reference, then waits until
// the host has closed the library before it returns into the driver.
void ReleaseAndWaitForUnload() {
    IASIO* driver = theDriver.exchange(nullptr);
    if (driver == nullptr) return;
    driver->Release();
    released = true;
    WaitFor(unloaded, 5000);
}
void BufferSwitch(int32_t, ASIOBool) { ReleaseAndWaitForUnload(); }
ASIOTime* BufferSwitchTimeInfo(ASIOTime* params, int32_t, ASIOBool) {
    ReleaseAndWaitForUnload();
    return params;
}
void SampleRateDidChange(ASIOSampleRate) {}
int32_t AsioMessage(int32_t, int32_t, void*, double*) { return 0; }

bool LibraryMapped() {
    void* handle = dlopen(korvex::host::DriverModule::DefaultPath(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
}

bool StreamThreadsEnded(int milliseconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        bool ended = true;
        for (const kwin::ThreadRecord& thread : kwin::ThreadHistory()) ended = ended && thread.finished;
        if (ended) return true;
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The host's session; exits with 0 when all went as it should, else with the
// number of the step that failed.
[[noreturn]] void HostSessionThatUnloadsAtOnce() {
    sim::Machine machine;
    sim::Card& card = machine.AddCard({.model = sim::CardModel::Eight, .clock = sim::ClockMode::Stepped});
    auto module = std::make_unique<korvex::host::DriverModule>(korvex::host::DriverModule::DefaultPath());
    if (!module->loaded()) std::_Exit(10);
    IASIO* driver = module->CreateDriver(nullptr);
    if (driver == nullptr || driver->init(nullptr) != ASIOTrue) std::_Exit(11);
    static ASIOCallbacks callbacks{&BufferSwitch, &SampleRateDidChange, &AsioMessage, &BufferSwitchTimeInfo};
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {nullptr, nullptr}}, {ASIOFalse, 1, {nullptr, nullptr}}};
    if (driver->createBuffers(infos, 2, 256, &callbacks) != ASE_OK) std::_Exit(12);
    theDriver = driver;
    if (driver->start() != ASE_OK || !card.FireHalf()) std::_Exit(13);
    if (!WaitFor(released, 5000)) std::_Exit(14);
    module.reset();  // dlclose: the stream thread is still inside the library
    unloaded = true;
    if (!StreamThreadsEnded(5000)) std::_Exit(15);
    if (LibraryMapped()) std::_Exit(16);
    std::_Exit(0);
}

TEST(DriverUnload, HostThatUnloadsRightAfterReleasingInItsCallbackDoesNotCrash) {
    EXPECT_EXIT(HostSessionThatUnloadsAtOnce(), testing::ExitedWithCode(0), "");
}

}  // namespace
