// The streaming engine: start and stop, the stream thread that turns the
// card's half-ready events into the host's buffer switches, and outputReady,
// which turns the host's answer into events for the card and the thread.
#include "asio/driver/driver.h"

#include <cstring>

namespace korvex {
namespace {

constexpr DWORD kStopWaitMs = 1000;
// Termination completes after TerminateThread returns; the thread may run on
// until then.
constexpr DWORD kTerminateWaitMs = 100;

uint64_t HandleValue(HANDLE handle) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle)); }

bool IsStopOrTimeout(DWORD result) { return result == WAIT_OBJECT_0 || result == WAIT_TIMEOUT; }

}  // namespace

ASIOError AsioDriver::start() {
    if (callbacks.load(std::memory_order_relaxed) == nullptr) return ASE_NotPresent;
    if (streamThread != nullptr) {
        const bool alive = WaitForSingleObject(streamThread, 0) == WAIT_TIMEOUT;
        // Never a second stream thread over the first: a running stream is
        // left as it is.
        if (alive && running.load(std::memory_order_relaxed)) return ASE_OK;
        // A stream stopped from inside its own callback is still ending; it
        // cannot be waited for from that same thread.
        if (alive && GetCurrentThreadId() == streamThreadId.load(std::memory_order_relaxed)) return ASE_InvalidMode;
        // A terminated thread that has still not ended cannot be replaced yet.
        if (!EndStreamThread()) return ASE_InvalidMode;
    }
    // Without its events the stream thread could only fail its waits.
    for (HANDLE* event : events) {
        if (*event == nullptr) return ASE_NoMemory;
    }

    // The thread keeps the library loaded until it has left it: a host may
    // unload it as soon as the object is gone, which the thread itself may
    // bring about (Destroy). Without that reference there is no stream.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&AsioDriver::StreamThreadProc), &module)) {
        return ASE_NoMemory;
    }

    EventRegistration registration{{HandleValue(half0ReadyEvent), HandleValue(half1ReadyEvent),
                                    HandleValue(output0ReadyEvent), HandleValue(output1ReadyEvent)}};
    if (!SendProperty(DEVCTL_EVENTS, KSPROPERTY_TYPE_SET, &registration, sizeof(registration))) {
        FreeLibrary(module);
        return ASE_NoMemory;
    }
    for (HANDLE* event : events) ResetEvent(*event);

    running.store(true, std::memory_order_relaxed);
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, &AsioDriver::StreamThreadProc, this, CREATE_SUSPENDED, &threadId);
    if (thread == nullptr) {
        running.store(false, std::memory_order_relaxed);
        FreeLibrary(module);
        return ASE_NoMemory;
    }
    streamThread = thread;
    streamModule = module;
    streamThreadId.store(threadId, std::memory_order_relaxed);
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    ResumeThread(thread);

    totalSamples.store(0, std::memory_order_relaxed);
    samplePosition.Store(0);
    timeStamp.Store(0);
    half0Pending.store(1, std::memory_order_relaxed);

    control.command = DEVCTL_CMD_CHANNELS;
    for (int i = 0; i < kOutputChannels; ++i) control.outputEnable[i] = static_cast<uint8_t>(outputActive[i]);
    for (int j = 0; j < kInputChannels; ++j) control.inputEnable[j] = static_cast<uint8_t>(inputActive[j]);
    SendControlBlock();
    return ASE_OK;
}

ASIOError AsioDriver::stop() {
    memset(&control, 0, kChannelCommandBytes);
    SendControlBlock();
    if (streamThread != nullptr) {
        running.store(false, std::memory_order_relaxed);
        SetEvent(stopHalf0Event);
        SetEvent(stopHalf1Event);
        SetEvent(stopOutputEvent);
        // Called from inside the host's callback, the thread ends by itself
        // once the callback returns; the next start or stop reaps it.
        if (GetCurrentThreadId() != streamThreadId.load(std::memory_order_relaxed)) EndStreamThread();
    }
    return SendProperty(DEVCTL_STOP, KSPROPERTY_TYPE_SET, nullptr, 0) ? ASE_OK : ASE_NoMemory;
}

// Waits for the stream thread, terminates it when it does not end in time,
// and closes its handle once it has ended. False when a terminated thread
// had still not ended: its handle is kept, and the next start or stop, or
// destruction, waits for it again.
bool AsioDriver::EndStreamThread() {
    DWORD result = WaitForSingleObject(streamThread, kStopWaitMs);
    if (result == WAIT_TIMEOUT || result == WAIT_FAILED) {
        TerminateThread(streamThread, 0);
        result = WaitForSingleObject(streamThread, kTerminateWaitMs);
        if (result == WAIT_TIMEOUT) return false;
    }
    CloseHandle(streamThread);
    streamThread = nullptr;
    streamThreadId.store(0, std::memory_order_relaxed);
    if (streamModule != nullptr) FreeLibrary(streamModule);
    streamModule = nullptr;
    return true;
}

// Real time: allocates nothing, takes no lock.
ASIOError AsioDriver::outputReady() {
    if (!running.load(std::memory_order_relaxed)) return ASE_OK;
    SetEvent(half0Pending.load(std::memory_order_relaxed) != 0 ? output0ReadyEvent : output1ReadyEvent);
    SetEvent(hostOutputEvent);
    return ASE_OK;
}

ASIOError AsioDriver::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
    if (sPos == nullptr || tStamp == nullptr) return ASE_InvalidParameter;
    *sPos = ASIOSamples{samplePosition.hi.load(std::memory_order_relaxed),
                        samplePosition.lo.load(std::memory_order_relaxed)};
    *tStamp = ASIOTimeStamp{timeStamp.hi.load(std::memory_order_relaxed), timeStamp.lo.load(std::memory_order_relaxed)};
    return ASE_OK;
}

// Not noexcept: a terminated thread unwinds through here on some platforms.
// The object may be gone once RunStream returns.
DWORD WINAPI AsioDriver::StreamThreadProc(LPVOID parameter) {
    static_cast<AsioDriver*>(parameter)->RunStream();
    return 0;
}

void AsioDriver::RunStream() {
    timeBeginPeriod(1);
    HANDLE mmcss = nullptr;
    DWORD taskIndex = 0;
    if (avSetMmThreadCharacteristics != nullptr) mmcss = avSetMmThreadCharacteristics(L"Pro Audio", &taskIndex);

    const HANDLE waitHalf0[2] = {stopHalf0Event, half0ReadyEvent};
    const HANDLE waitHost[2] = {stopOutputEvent, hostOutputEvent};
    const HANDLE waitHalf1[2] = {stopHalf1Event, half1ReadyEvent};
    for (;;) {
        DWORD result = WaitForMultipleObjects(2, waitHalf0, FALSE, INFINITE);
        // A wait for half 0 that fails would fail again at once: rather than
        // spin at time-critical priority, the thread ends.
        if (IsStopOrTimeout(result) || result == WAIT_FAILED) break;
        HalfStep(0);
        if (releasedInCallback.load(std::memory_order_relaxed)) break;

        result = WaitForMultipleObjects(2, waitHost, FALSE, INFINITE);
        if (IsStopOrTimeout(result)) break;
        if (result == WAIT_FAILED) continue;

        result = WaitForMultipleObjects(2, waitHalf1, FALSE, INFINITE);
        if (IsStopOrTimeout(result)) break;
        if (result == WAIT_FAILED) continue;
        HalfStep(1);
        if (releasedInCallback.load(std::memory_order_relaxed)) break;

        result = WaitForMultipleObjects(2, waitHost, FALSE, INFINITE);
        if (IsStopOrTimeout(result)) break;
    }

    streamThreadId.store(0, std::memory_order_relaxed);
    if (mmcss != nullptr && avRevertMmThreadCharacteristics != nullptr) avRevertMmThreadCharacteristics(mmcss);
    timeEndPeriod(1);
    // The host let go of the object inside its callback (see Destroy). This
    // frees it; nothing of it may be touched afterwards, and the thread gives
    // back its reference on the library only as it leaves the library's code.
    if (releasedInCallback.load(std::memory_order_relaxed)) {
        HMODULE module = streamModule;
        delete this;
        if (module != nullptr) FreeLibraryAndExitThread(module, 0);
    }
}

// Real time: allocates nothing, takes no lock, calls only timeGetTime and the
// host.
void AsioDriver::HalfStep(int32_t half) {
    const uint64_t total =
        totalSamples.load(std::memory_order_relaxed) + static_cast<uint32_t>(bufferSize.load(std::memory_order_relaxed));
    totalSamples.store(total, std::memory_order_relaxed);
    samplePosition.Store(total);

    const DWORD milliseconds = timeGetTime();
    half0Pending.store(half == 0 ? 1 : 0, std::memory_order_relaxed);
    const uint64_t nanoseconds = static_cast<uint64_t>(milliseconds) * 1000000u;
    timeStamp.Store(nanoseconds);

    // Buffers disposed while streaming leave no table to call through.
    ASIOCallbacks* host = callbacks.load(std::memory_order_relaxed);
    if (host == nullptr) return;

    // A host that left one of the two entries empty gets the other one.
    const bool timeInfo = timeInfoMode.load(std::memory_order_relaxed) != 0 ? host->bufferSwitchTimeInfo != nullptr
                                                                           : host->bufferSwitch == nullptr;
    if (timeInfo) {
        const ASIOSamples position{static_cast<uint32_t>(total >> 32), static_cast<uint32_t>(total)};
        AsioTimeInfo& info = asioTime.timeInfo;
        info.systemTime = ASIOTimeStamp{static_cast<uint32_t>(nanoseconds >> 32), static_cast<uint32_t>(nanoseconds)};
        info.samplePosition = position;
        std::atomic_ref<double>(info.sampleRate).store(sampleRate.load(std::memory_order_relaxed),
                                                       std::memory_order_relaxed);
        std::atomic_ref<uint32_t>(info.flags).store(kSystemTimeValid | kSamplePositionValid | kSampleRateValid,
                                                    std::memory_order_relaxed);
        // Once time code is off, both halves show 0 from the next one on.
        const bool readTimeCode = timeCodeSupported.load(std::memory_order_relaxed) != 0 &&
                                  timeCodeRead.load(std::memory_order_relaxed) != 0;
        asioTime.timeCode.timeCodeSamples = readTimeCode ? position : ASIOSamples{0, 0};
        if (host->bufferSwitchTimeInfo != nullptr) host->bufferSwitchTimeInfo(&asioTime, half, ASIOFalse);
    } else if (host->bufferSwitch != nullptr) {
        host->bufferSwitch(half, ASIOFalse);
    }
}

}  // namespace korvex
