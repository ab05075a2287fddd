// The streaming engine on a card whose half clock the test steps: start and
// stop, the stream thread's callbacks to the host with positions, stamps and
// the time record, outputReady, the thread's scheduling, and what every
// refused request or failed call leaves behind.
#include "tests/sim/card_client.h"
#include "tests/sim/test_host.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using simtest::Words;
using sim::devctl::kControl;
using sim::devctl::kEvents;
using sim::devctl::kMapBuffers;
using sim::devctl::kStop;
using sim::devctl::kUnmapBuffers;
using IdList = std::vector<uint32_t>;

constexpr uint32_t kValidFlags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;

class DriverStream : public simtest::HostedDriverTest {
protected:
    void SetUp() override {
        HostedDriverTest::SetUp();
        kwin::ResetThreadHistory();
    }

    // A stereo session on the stepped card, started.
    void StartStereo(int32_t frames = 256) {
        ASSERT_NE(OpenDriver(), nullptr);
        CreateStereo(frames);
        ASSERT_EQ(driver->start(), ASE_OK);
    }

    static std::vector<kwin::ThreadRecord> Threads() { return kwin::ThreadHistory(); }

    // Waits until the n-th stream thread (0 = first) has ended.
    static bool WaitThreadFinished(size_t index, int milliseconds = 2000) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            const std::vector<kwin::ThreadRecord> threads = Threads();
            if (threads.size() > index && threads[index].finished) return true;
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    ASIOSamples Position() {
        ASIOSamples position{};
        ASIOTimeStamp stamp{};
        EXPECT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
        return position;
    }

    // Whether the driver's event is signalled (takes the signal).
    static bool Signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
    void DrainHostEvents() {
        for (HANDLE e : {object().output0ReadyEvent, object().output1ReadyEvent, object().hostOutputEvent}) Signalled(e);
    }
    void ExpectHostEventsClear(const char* when) {
        EXPECT_FALSE(Signalled(object().output0ReadyEvent)) << when;
        EXPECT_FALSE(Signalled(object().output1ReadyEvent)) << when;
        EXPECT_FALSE(Signalled(object().hostOutputEvent)) << when;
    }
};

TEST_F(DriverStream, HalvesAlternateAndPositionsCountFromBufferSize) {
    StartStereo(256);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(StepHalf()) << "half " << i;
    ASSERT_TRUE(host.WaitCalls(4));

    const std::vector<kwin::ThreadRecord> threads = Threads();
    ASSERT_EQ(threads.size(), 1u);
    const std::vector<simtest::HostCall> calls = host.Calls();
    for (size_t k = 0; k < calls.size(); ++k) {
        SCOPED_TRACE("callback " + std::to_string(k));
        const simtest::HostCall& call = calls[k];
        EXPECT_TRUE(call.timeInfo);
        EXPECT_EQ(call.half, static_cast<int32_t>(k % 2));
        EXPECT_EQ(call.directProcess, ASIOFalse);
        EXPECT_EQ(Words(call.position), 256 * (k + 1));
        EXPECT_EQ(Words(call.infoPosition), 256 * (k + 1));
        EXPECT_EQ(Words(call.systemTime), Words(call.stamp));
        EXPECT_EQ(call.flags, kValidFlags);
        EXPECT_EQ(call.sampleRate, 48000.0);
        EXPECT_EQ(call.params, &object().asioTime) << "the driver's own record";
        EXPECT_EQ(call.threadId, threads[0].threadId);
        EXPECT_NE(call.threadId, GetCurrentThreadId());
    }

    // Stopped, the last position and stamp stay readable.
    ASSERT_EQ(driver->stop(), ASE_OK);
    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    ASSERT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_EQ(Words(position), 1024u);
    EXPECT_EQ(Words(stamp), Words(calls.back().stamp));

    // A new start counts from the beginning again, on a new thread.
    ASSERT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(Words(Position()), 0u);
    ASSERT_TRUE(StepHalf());
    ASSERT_TRUE(host.WaitCalls(5));
    const simtest::HostCall restarted = host.Calls()[4];
    EXPECT_EQ(restarted.half, 0);
    EXPECT_EQ(Words(restarted.position), 256u);
    ASSERT_EQ(Threads().size(), 2u);
    EXPECT_EQ(restarted.threadId, Threads()[1].threadId);
    ASSERT_EQ(driver->stop(), ASE_OK);

    // New buffers start the position at 0 as well.
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    CreateStereo(256);
    EXPECT_EQ(Words(Position()), 0u);
}

TEST_F(DriverStream, HostWithoutTimeInfoGetsPlainBufferSwitches) {
    ASSERT_NE(OpenDriver(), nullptr);
    for (int32_t answer : {0, 2}) {
        SCOPED_TRACE("time info answer " + std::to_string(answer));
        host.timeInfoAnswer = answer;
        CreateStereo(128);
        const size_t before = host.CallCount();
        ASSERT_EQ(driver->start(), ASE_OK);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(StepHalf()) << "half " << i;
        ASSERT_EQ(driver->stop(), ASE_OK);

        const std::vector<simtest::HostCall> calls = host.Calls();
        ASSERT_EQ(calls.size(), before + 3);
        for (size_t k = 0; k < 3; ++k) {
            const simtest::HostCall& call = calls[before + k];
            EXPECT_FALSE(call.timeInfo) << k;
            EXPECT_EQ(call.half, static_cast<int32_t>(k % 2)) << k;
            EXPECT_EQ(call.directProcess, ASIOFalse) << k;
            EXPECT_EQ(Words(call.position), 128 * (k + 1)) << k;
        }
        // The time record is not filled for such a host.
        const AsioTimeInfo& info = object().asioTime.timeInfo;
        EXPECT_EQ(Words(info.samplePosition), 0u);
        EXPECT_EQ(Words(info.systemTime), 0u);
        EXPECT_EQ(info.flags, 0u);
        ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    }
}

TEST_F(DriverStream, HostThatNeverAnswersGetsOneCallbackPerStart) {
    host.outputReadyCalls = 0;
    StartStereo();
    ASSERT_TRUE(card->FireHalf());
    ASSERT_TRUE(host.WaitCalls(1));
    ASSERT_TRUE(card->FireHalf());  // half 1
    ASSERT_TRUE(card->FireHalf());  // half 0 again
    Sleep(100);
    EXPECT_EQ(host.CallCount(), 1u) << "the thread waits for the host, not for the card";

    ASSERT_EQ(driver->stop(), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(card->FireHalf());
    ASSERT_TRUE(host.WaitCalls(2));
    ASSERT_TRUE(card->FireHalf());
    Sleep(100);
    const std::vector<simtest::HostCall> calls = host.Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].half, 0);
    EXPECT_EQ(Words(calls[1].position), 256u);
    ASSERT_EQ(driver->stop(), ASE_OK);

    // Both threads ended on the stop events, none had to be terminated.
    const std::vector<kwin::ThreadRecord> threads = Threads();
    ASSERT_EQ(threads.size(), 2u);
    for (const kwin::ThreadRecord& thread : threads) {
        EXPECT_TRUE(thread.finished);
        EXPECT_FALSE(thread.terminated);
    }
}

TEST_F(DriverStream, OutputReadyOutsideTheStreamSetsNoEvent) {
    ASSERT_NE(OpenDriver(), nullptr);
    CreateStereo();
    EXPECT_EQ(driver->outputReady(), ASE_OK);
    ExpectHostEventsClear("before start");

    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(StepHalf());
    ASSERT_TRUE(StepHalf());
    ASSERT_EQ(driver->stop(), ASE_OK);
    DrainHostEvents();  // a last answer the ending thread did not take
    EXPECT_EQ(driver->outputReady(), ASE_OK);
    ExpectHostEventsClear("after stop");
}

TEST_F(DriverStream, TwoOutputReadyCallsInOneHalfCountAsOne) {
    // Both calls are made inside the callback, before the stream thread can
    // take the first.
    host.outputReadyCalls = 2;
    StartStereo();
    ASSERT_TRUE(StepHalf());

    // The host does not answer half 1: the spare call must not stand in for it.
    host.outputReadyCalls = 0;
    ASSERT_TRUE(card->FireHalf());
    ASSERT_TRUE(host.WaitCalls(2));
    EXPECT_FALSE(card->WaitHostAnswer(100)) << "half 1 was never answered";
    ASSERT_TRUE(card->FireHalf());
    Sleep(100);
    EXPECT_EQ(host.CallCount(), 2u);
    ASSERT_EQ(driver->stop(), ASE_OK);
}

TEST_F(DriverStream, HostWithOneBufferSwitchMissingGetsTheOther) {
    struct Row {
        const char* what;
        int32_t timeInfoAnswer;
        bool timeInfoEntryMissing;  // else bufferSwitch is missing
    };
    const Row rows[] = {
        {"time-info host without bufferSwitchTimeInfo", 1, true},
        {"plain host without bufferSwitch", 0, false},
    };
    ASSERT_NE(OpenDriver(), nullptr);
    const ASIOCallbacks complete = *host.table();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        *host.table() = complete;
        if (row.timeInfoEntryMissing) {
            host.table()->bufferSwitchTimeInfo = nullptr;
        } else {
            host.table()->bufferSwitch = nullptr;
        }
        host.timeInfoAnswer = row.timeInfoAnswer;
        CreateStereo(128);
        const size_t before = host.CallCount();
        ASSERT_EQ(driver->start(), ASE_OK);
        for (int i = 0; i < 2; ++i) ASSERT_TRUE(StepHalf()) << "half " << i;
        ASSERT_EQ(driver->stop(), ASE_OK);

        const std::vector<simtest::HostCall> calls = host.Calls();
        ASSERT_EQ(calls.size(), before + 2);
        for (size_t k = 0; k < 2; ++k) {
            const simtest::HostCall& call = calls[before + k];
            EXPECT_EQ(call.timeInfo, !row.timeInfoEntryMissing) << k;
            EXPECT_EQ(call.half, static_cast<int32_t>(k)) << k;
            EXPECT_EQ(call.directProcess, ASIOFalse) << k;
            EXPECT_EQ(Words(call.position), 128 * (k + 1)) << k;
            if (!call.timeInfo) continue;
            // The time record is filled for a host that gets it.
            EXPECT_EQ(call.params, &object().asioTime) << k;
            EXPECT_EQ(Words(call.infoPosition), 128 * (k + 1)) << k;
            EXPECT_EQ(Words(call.systemTime), Words(call.stamp)) << k;
            EXPECT_EQ(call.flags, kValidFlags) << k;
            EXPECT_EQ(call.sampleRate, 48000.0) << k;
        }
        ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    }
    *host.table() = complete;
}

// Every SetEvent of the process while installed, in order, kept in storage
// reserved up front (the stream thread reports here too).
class SetEventRecorder {
public:
    SetEventRecorder() {
        count().store(0);
        kwin::SetEventSetHook(&Record);
    }
    ~SetEventRecorder() { kwin::SetEventSetHook(nullptr); }
    SetEventRecorder(const SetEventRecorder&) = delete;
    SetEventRecorder& operator=(const SetEventRecorder&) = delete;

    // The recorded sets of the given events.
    std::vector<HANDLE> SetsOf(std::initializer_list<HANDLE> events) const {
        std::vector<HANDLE> sets;
        const size_t n = std::min(count().load(), kCapacity);
        for (size_t i = 0; i < n; ++i) {
            const HANDLE set = slots()[i].load();
            if (std::find(events.begin(), events.end(), set) != events.end()) sets.push_back(set);
        }
        return sets;
    }

private:
    static constexpr size_t kCapacity = 256;
    static std::atomic<size_t>& count() {
        static std::atomic<size_t> n{0};
        return n;
    }
    static std::array<std::atomic<HANDLE>, kCapacity>& slots() {
        static std::array<std::atomic<HANDLE>, kCapacity> s{};
        return s;
    }
    static void Record(HANDLE event) {
        const size_t i = count().fetch_add(1);
        if (i < kCapacity) slots()[i].store(event);
    }
};

// The card's event for the half must be set before the stream thread is let
// go: once released, the thread can run the next half before a second set,
// which would then pick the next half's event.
TEST_F(DriverStream, OutputReadySetsTheHalfsEventBeforeReleasingTheThread) {
    StartStereo();
    SetEventRecorder recorder;
    // Two halves answered inside their callbacks, two from this thread after
    // the callback.
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(StepHalf()) << "half " << i;
    host.outputReadyCalls = 0;
    for (size_t i = 2; i < 4; ++i) {
        ASSERT_TRUE(card->FireHalf());
        ASSERT_TRUE(host.WaitCalls(i + 1));
        EXPECT_EQ(driver->outputReady(), ASE_OK);
        ASSERT_TRUE(card->WaitHostAnswer(2000)) << "half " << i;
    }
    const korvex::AsioDriver& o = object();
    const std::vector<HANDLE> sets = recorder.SetsOf({o.output0ReadyEvent, o.output1ReadyEvent, o.hostOutputEvent});
    const std::vector<HANDLE> expected = {o.output0ReadyEvent, o.hostOutputEvent, o.output1ReadyEvent,
                                          o.hostOutputEvent, o.output0ReadyEvent, o.hostOutputEvent,
                                          o.output1ReadyEvent, o.hostOutputEvent};
    EXPECT_EQ(sets, expected);
    ASSERT_EQ(driver->stop(), ASE_OK);
}

TEST_F(DriverStream, TimeInfoFlagsAreExactlyValidBitsAndCarryANewRate) {
    StartStereo();
    ASSERT_TRUE(StepHalf());

    ASSERT_EQ(driver->setClockSource(0), ASE_OK);
    ASSERT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    const uint32_t changed = object().asioTime.timeInfo.flags;
    EXPECT_EQ(changed & (kSampleRateChanged | kClockSourceChanged), kSampleRateChanged | kClockSourceChanged);
    EXPECT_EQ(host.sampleRateChanges.load(), 1);
    EXPECT_EQ(host.lastRateChange.load(), 96000.0);

    ASSERT_TRUE(StepHalf());
    ASSERT_TRUE(StepHalf());
    const std::vector<simtest::HostCall> calls = host.Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].sampleRate, 48000.0);
    for (size_t k = 1; k < 3; ++k) {
        EXPECT_EQ(calls[k].flags, kValidFlags) << k;
        EXPECT_EQ(calls[k].sampleRate, 96000.0) << k;
    }
    ASSERT_EQ(driver->stop(), ASE_OK);
}

TEST_F(DriverStream, TimeCodeSamplesFollowThePositionOnlyWhileRead) {
    ASSERT_NE(OpenDriver(), nullptr);
    host.timeCodeAnswer = 1;
    CreateStereo();
    ASSERT_EQ(driver->future(kAsioEnableTimeCodeRead, nullptr), ASE_SUCCESS);
    ASSERT_EQ(driver->start(), ASE_OK);
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(StepHalf());
    // Switched off after half 1: the half-0 callback that follows shows 0
    // too, not the last position read.
    ASSERT_EQ(driver->future(kAsioDisableTimeCodeRead, nullptr), ASE_SUCCESS);
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(StepHalf());
    ASSERT_EQ(driver->future(kAsioEnableTimeCodeRead, nullptr), ASE_SUCCESS);
    ASSERT_TRUE(StepHalf());
    ASSERT_EQ(driver->stop(), ASE_OK);

    std::vector<simtest::HostCall> calls = host.Calls();
    ASSERT_EQ(calls.size(), 5u);
    const bool read[] = {true, true, false, false, true};
    for (size_t k = 0; k < calls.size(); ++k) {
        SCOPED_TRACE("callback " + std::to_string(k));
        EXPECT_EQ(Words(calls[k].timeCodeSamples), read[k] ? Words(calls[k].position) : 0u);
        EXPECT_EQ(calls[k].timeCodeFlags, kTcValid | kTcRunning);
        EXPECT_EQ(calls[k].speed, 0.0);
    }

    // A host without time code sees none, whatever the read switch says.
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    host.timeCodeAnswer = 0;
    CreateStereo();
    ASSERT_EQ(driver->start(), ASE_OK);
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(StepHalf());
    ASSERT_EQ(driver->stop(), ASE_OK);
    calls = host.Calls();
    ASSERT_EQ(calls.size(), 7u);
    for (size_t k = 5; k < 7; ++k) {
        EXPECT_EQ(Words(calls[k].timeCodeSamples), 0u) << k;
        EXPECT_EQ(calls[k].timeCodeFlags, 0u) << k;
    }
}

TEST_F(DriverStream, TimeStampIsTimeGetTimeInNanoseconds) {
    struct Row {
        DWORD milliseconds;
        uint32_t hi;
        uint32_t lo;
    };
    const Row rows[] = {{5000, 1, 705032704u}, {4000, 0, 4000000000u}, {0xFFFFFFFFu, 999999, 4293967296u}};
    StartStereo();
    for (size_t k = 0; k < std::size(rows); ++k) {
        kwin::SetTimeGetTimeOverride(rows[k].milliseconds);
        ASSERT_TRUE(StepHalf()) << k;
    }
    kwin::SetTimeGetTimeOverride(std::nullopt);
    ASSERT_EQ(driver->stop(), ASE_OK);

    const std::vector<simtest::HostCall> calls = host.Calls();
    ASSERT_EQ(calls.size(), std::size(rows));
    for (size_t k = 0; k < calls.size(); ++k) {
        SCOPED_TRACE(std::to_string(rows[k].milliseconds) + " ms");
        EXPECT_EQ(calls[k].stamp.hi, rows[k].hi);
        EXPECT_EQ(calls[k].stamp.lo, rows[k].lo);
        EXPECT_EQ(calls[k].systemTime.hi, rows[k].hi);
        EXPECT_EQ(calls[k].systemTime.lo, rows[k].lo);
    }
}

TEST_F(DriverStream, StreamThreadRunsTimeCriticalInProAudioWithFineTimer) {
    ASSERT_NE(OpenDriver(), nullptr);
    CreateStereo();
    const kwin::AvrtCalls avrtBefore = kwin::Avrt();
    const int periodsBefore = kwin::ActiveTimerPeriods();
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(StepHalf());

    std::vector<kwin::ThreadRecord> threads = Threads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads[0].priority, THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_TRUE(threads[0].prioritySetWhileSuspended);
    EXPECT_EQ(kwin::Avrt().setCalls, avrtBefore.setCalls + 1);
    EXPECT_EQ(kwin::Avrt().lastTask, L"Pro Audio");
    EXPECT_EQ(kwin::ActiveTimerPeriods(), periodsBefore + 1);

    ASSERT_EQ(driver->stop(), ASE_OK);
    threads = Threads();
    EXPECT_TRUE(threads[0].finished);
    EXPECT_FALSE(threads[0].terminated);
    EXPECT_EQ(kwin::Avrt().revertCalls, avrtBefore.revertCalls + 1);
    EXPECT_EQ(kwin::ActiveTimerPeriods(), periodsBefore);
}

TEST_F(DriverStream, WithoutAvrtTheStreamRunsWithoutMmcss) {
    kwin::SetAvrtPresent(false);
    const kwin::AvrtCalls avrtBefore = kwin::Avrt();
    StartStereo();
    ASSERT_TRUE(StepHalf());
    ASSERT_TRUE(StepHalf());
    ASSERT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(host.CallCount(), 2u);
    EXPECT_EQ(kwin::Avrt().setCalls, avrtBefore.setCalls);
    EXPECT_EQ(kwin::Avrt().revertCalls, avrtBefore.revertCalls);
    EXPECT_EQ(Threads().at(0).priority, THREAD_PRIORITY_TIME_CRITICAL);
}

TEST_F(DriverStream, RefusedEventRegistrationStartsNothing) {
    ASSERT_NE(OpenDriver(), nullptr);
    CreateStereo();
    card->ClearRequests();
    card->FailRequest(kEvents, ERROR_INVALID_HANDLE);

    EXPECT_EQ(driver->start(), ASE_NoMemory);
    EXPECT_EQ(Ids(*card), (IdList{kEvents}));
    EXPECT_TRUE(Threads().empty());
    EXPECT_EQ(object().streamThread, nullptr);
    EXPECT_FALSE(object().running.load());
    EXPECT_FALSE(card->Streaming());
    EXPECT_EQ(driver->outputReady(), ASE_OK);
    ExpectHostEventsClear("after the refused start");
}

TEST_F(DriverStream, RefusedStopStillEndsTheThreadAndSwitchesChannelsOff) {
    StartStereo();
    ASSERT_TRUE(StepHalf());
    card->ClearRequests();
    card->FailRequest(kStop, ERROR_GEN_FAILURE);

    EXPECT_EQ(driver->stop(), ASE_NoMemory);
    const std::vector<sim::CardRequest> requests = card->Requests();
    ASSERT_EQ(Ids(*card), (IdList{kControl, kStop}));
    const sim::devctl::ControlBlock block = Block(requests[0]);
    for (size_t b = 0; b <= 10; ++b) EXPECT_EQ(block[b], 0) << "byte " << b;
    EXPECT_EQ(card->ChannelEnables(), sim::devctl::Enables{});
    EXPECT_EQ(object().streamThread, nullptr);
    EXPECT_FALSE(object().running.load());
    ASSERT_EQ(Threads().size(), 1u);
    EXPECT_TRUE(Threads()[0].finished);
    EXPECT_FALSE(Threads()[0].terminated);
}

TEST_F(DriverStream, StopWithoutStartSendsChannelsOffAndStopEachTime) {
    ASSERT_NE(OpenDriver(), nullptr);
    CreateStereo(256);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("stop " + std::to_string(round + 1));
        card->ClearRequests();
        EXPECT_EQ(driver->stop(), ASE_OK);
        const std::vector<sim::CardRequest> requests = card->Requests();
        ASSERT_EQ(Ids(*card), (IdList{kControl, kStop}));
        const sim::devctl::ControlBlock block = Block(requests[0]);
        for (size_t b = 0; b <= 10; ++b) EXPECT_EQ(block[b], 0) << "byte " << b;
        int32_t frames = 0;
        memcpy(&frames, &block[sim::devctl::kBufferFramesOffset], 4);
        EXPECT_EQ(frames, 256) << "the buffer length stays in the block";
        EXPECT_TRUE(requests[1].valueNull);
        EXPECT_EQ(requests[1].valueLength, 0u);
        EXPECT_FALSE(object().running.load());
    }
    EXPECT_TRUE(Threads().empty());
}

TEST_F(DriverStream, StopEndsAHungCallbackAfterAboutOneSecond) {
    host.blockInCall = 0;
    host.blockMs = 3000;
    StartStereo();
    ASSERT_TRUE(card->FireHalf());
    ASSERT_TRUE(host.WaitCalls(1));
    const int periodsWhileStreaming = kwin::ActiveTimerPeriods();
    card->ClearRequests();

    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(driver->stop(), ASE_OK);
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900)) << "stop gives the thread its second";
    EXPECT_LE(elapsed, std::chrono::milliseconds(2500)) << "stop does not wait for the callback";

    EXPECT_EQ(object().streamThread, nullptr);
    EXPECT_EQ(Ids(*card), (IdList{kControl, kStop}));
    // Termination completes after TerminateThread returns, as on Windows.
    ASSERT_TRUE(WaitThreadFinished(0));
    ASSERT_EQ(Threads().size(), 1u);
    EXPECT_TRUE(Threads()[0].terminated);
    // A terminated thread never runs its way out: its 1 ms timer period is
    // still raised. End it here on its behalf so the fixture's check holds.
    EXPECT_EQ(kwin::ActiveTimerPeriods(), periodsWhileStreaming);
    timeEndPeriod(1);
}

TEST_F(DriverStream, StopFromInsideTheCallbackLetsTheThreadEndByItself) {
    ASSERT_NE(OpenDriver(), nullptr);
    CreateStereo();
    // Round 0: the host's thread reaps the ended thread with stop; round 1:
    // with start.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "reaped by stop" : "reaped by start");
        const size_t first = host.CallCount();
        host.stopInCall = static_cast<int>(first);
        host.startAfterStop = true;
        host.stopResult = 1;
        host.startResult = 1;
        ASSERT_EQ(driver->start(), ASE_OK);
        card->ClearRequests();
        ASSERT_TRUE(card->FireHalf());
        ASSERT_TRUE(WaitThreadFinished(static_cast<size_t>(round * 2)));

        const kwin::ThreadRecord ended = Threads().at(static_cast<size_t>(round * 2));
        EXPECT_FALSE(ended.terminated);
        EXPECT_EQ(host.stopResult.load(), ASE_OK);
        EXPECT_LT(host.stopMicroseconds.load(), 500000) << "stop did not wait for its own thread";
        EXPECT_EQ(host.startResult.load(), ASE_InvalidMode);
        EXPECT_EQ(Ids(*card), (IdList{kControl, kStop})) << "the refused start sent nothing";
        EXPECT_FALSE(object().running.load());
        EXPECT_NE(object().streamThread, nullptr) << "not yet reaped";

        if (round == 0) {
            EXPECT_EQ(driver->stop(), ASE_OK);
            EXPECT_EQ(object().streamThread, nullptr);
        }
        // A new stream runs normally.
        host.stopInCall = -1;
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(StepHalf());
        ASSERT_TRUE(host.WaitCalls(first + 2));
        const simtest::HostCall call = host.Calls()[first + 1];
        EXPECT_EQ(call.half, 0);
        EXPECT_EQ(Words(call.position), 256u);
        ASSERT_EQ(Threads().size(), static_cast<size_t>(round * 2 + 2));
        EXPECT_EQ(call.threadId, Threads().back().threadId);
        ASSERT_EQ(driver->stop(), ASE_OK);
    }
}

TEST_F(DriverStream, SecondStartWhileStreamingChangesNothing) {
    StartStereo();
    ASSERT_TRUE(StepHalf());
    ASSERT_TRUE(StepHalf());
    card->ClearRequests();

    EXPECT_EQ(driver->start(), ASE_OK);
    EXPECT_TRUE(card->Requests().empty());
    EXPECT_EQ(Threads().size(), 1u);

    ASSERT_TRUE(StepHalf());
    ASSERT_TRUE(host.WaitCalls(3));
    const simtest::HostCall call = host.Calls()[2];
    EXPECT_EQ(call.half, 0);
    EXPECT_EQ(Words(call.position), 768u) << "the count goes on";
    ASSERT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(Threads().size(), 1u);
}

TEST_F(DriverStream, StartRefusesWhenAnEventCouldNotBeMade) {
    card = &machine->AddCard({.model = sim::CardModel::Eight, .clock = sim::ClockMode::Stepped});
    for (int missing : {1, 2, 8}) {
        SCOPED_TRACE("event " + std::to_string(missing) + " not made");
        kwin::FailCall("CreateEventW", missing, ERROR_NOT_ENOUGH_MEMORY);
        ASSERT_NE(OpenDriverOnCard(), nullptr);
        int nullEvents = 0;
        for (HANDLE* event : object().events) nullEvents += *event == nullptr;
        ASSERT_EQ(nullEvents, 1);
        CreateStereo();
        card->ClearRequests();

        EXPECT_EQ(driver->start(), ASE_NoMemory);
        EXPECT_TRUE(card->Requests().empty());
        EXPECT_TRUE(Threads().empty());
        EXPECT_FALSE(object().running.load());
        EXPECT_EQ(driver->stop(), ASE_OK);
        Release(driver);
    }
}

TEST_F(DriverStream, StartReportsAThreadThatCouldNotBeMade) {
    ASSERT_NE(OpenDriver(), nullptr);
    CreateStereo();
    card->ClearRequests();
    kwin::FailCall("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY);

    EXPECT_EQ(driver->start(), ASE_NoMemory);
    EXPECT_EQ(Ids(*card), (IdList{kEvents})) << "no channels switched on";
    EXPECT_FALSE(object().running.load());
    EXPECT_EQ(object().streamThread, nullptr);
    EXPECT_EQ(driver->outputReady(), ASE_OK);
    ExpectHostEventsClear("after the failed start");

    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(StepHalf());
    ASSERT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(host.CallCount(), 1u);
}

// Without its reference on the library the stream thread could be left
// running in unmapped code by a host that unloads the library after a
// release from its callback: start refuses before it asks anything of the card.
TEST_F(DriverStream, StartRefusesWithoutAReferenceOnItsOwnLibrary) {
    ASSERT_NE(OpenDriver(), nullptr);
    CreateStereo();
    card->ClearRequests();
    const kwin::ModuleReferenceCalls before = kwin::ModuleReferenceCounts();
    kwin::FailCall("GetModuleHandleExW", 1, ERROR_MOD_NOT_FOUND);

    EXPECT_EQ(driver->start(), ASE_NoMemory);
    EXPECT_TRUE(Ids(*card).empty()) << "no events registered, no channels switched on";
    EXPECT_TRUE(Threads().empty());
    EXPECT_EQ(object().streamThread, nullptr);
    EXPECT_FALSE(object().running.load());
    EXPECT_EQ(driver->outputReady(), ASE_OK);
    ExpectHostEventsClear("after the refused start");

    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(StepHalf());
    ASSERT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(host.CallCount(), 1u);
    const kwin::ModuleReferenceCalls after = kwin::ModuleReferenceCounts();
    EXPECT_EQ(after.processTaken - after.processReleased, before.processTaken - before.processReleased);
}

TEST_F(DriverStream, FailedWaitForHalfZeroEndsTheThread) {
    ASSERT_NE(OpenDriver(), nullptr);
    CreateStereo();
    const int periodsBefore = kwin::ActiveTimerPeriods();
    kwin::FailCall("WaitForMultipleObjects", 1, ERROR_INVALID_HANDLE);
    ASSERT_EQ(driver->start(), ASE_OK);

    ASSERT_TRUE(WaitThreadFinished(0)) << "the thread would wait again instead of ending";
    EXPECT_FALSE(Threads()[0].terminated);
    EXPECT_EQ(kwin::ActiveTimerPeriods(), periodsBefore) << "it left the normal way";
    EXPECT_EQ(host.CallCount(), 0u);

    // The ended thread is not a running stream: a new start makes one.
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_EQ(Threads().size(), 2u);
    ASSERT_TRUE(StepHalf());
    EXPECT_EQ(host.CallCount(), 1u);
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(object().streamThread, nullptr);
}

TEST_F(DriverStream, FailedWaitAfterHalfZeroGoesBackToHalfZero) {
    ASSERT_NE(OpenDriver(), nullptr);
    CreateStereo();
    // The stream thread's waits are numbered from its start: 1 for half 0,
    // 2 for the host's answer, 3 for half 1.
    for (int failing : {2, 3}) {
        SCOPED_TRACE("wait " + std::to_string(failing) + " fails");
        const size_t first = host.CallCount();
        kwin::FailCall("WaitForMultipleObjects", failing, ERROR_INVALID_HANDLE);
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(StepHalf());
        ASSERT_TRUE(card->FireHalf());  // half 1, which nobody waits for now
        ASSERT_TRUE(StepHalf());        // half 0
        ASSERT_TRUE(host.WaitCalls(first + 2));
        const std::vector<simtest::HostCall> calls = host.Calls();
        EXPECT_EQ(calls[first].half, 0);
        EXPECT_EQ(Words(calls[first].position), 256u);
        EXPECT_EQ(calls[first + 1].half, 0);
        EXPECT_EQ(Words(calls[first + 1].position), 512u);
        ASSERT_EQ(driver->stop(), ASE_OK);
    }
}

TEST_F(DriverStream, BuffersDisposedWhileStreamingAreNeverCalledThrough) {
    StartStereo();
    ASSERT_TRUE(StepHalf());
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    ASSERT_TRUE(card->FireHalf());

    // The half is still counted; only the call is left out.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (Words(Position()) != 512 && std::chrono::steady_clock::now() < until) Sleep(1);
    ASSERT_EQ(Words(Position()), 512u);
    Sleep(50);
    EXPECT_EQ(host.CallCount(), 1u);
    EXPECT_EQ(driver->stop(), ASE_OK);
}

TEST_F(DriverStream, StreamThreadAllocatesNothingBetweenHalves) {
    host.countAllocations = true;
    StartStereo(64);
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(StepHalf()) << "half " << i;
    ASSERT_TRUE(host.WaitCalls(50));
    ASSERT_EQ(driver->stop(), ASE_OK);
    const std::vector<simtest::HostCall> calls = host.Calls();
    EXPECT_EQ(calls.back().allocations, 0);
}

TEST_F(DriverStream, WholeSessionSendsTheExpectedRequests) {
    ASSERT_NE(OpenDriver(), nullptr);
    card->ClearRequests();
    std::vector<ASIOBufferInfo> infos = Entries({{ASIOFalse, 0}, {ASIOFalse, 1}, {ASIOTrue, 1}});
    ASSERT_EQ(CreateBuffers(infos, 256), ASE_OK);
    const sim::devctl::BufferMap map = card->MappedBuffers();
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(StepHalf());
    ASSERT_EQ(driver->stop(), ASE_OK);
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);

    const std::vector<sim::CardRequest> requests = card->Requests();
    ASSERT_EQ(Ids(*card), (IdList{kControl, kMapBuffers, kEvents, kControl, kControl, kStop, kUnmapBuffers}));
    for (const sim::CardRequest& request : requests) EXPECT_TRUE(request.Succeeded()) << request.id;

    const sim::devctl::ControlBlock sizing = Block(requests[0]);
    EXPECT_EQ(sizing[0], sim::devctl::kCmdBufferSize);

    std::array<uint64_t, 4> registered{};
    ASSERT_EQ(requests[2].value.size(), sizeof registered);
    memcpy(registered.data(), requests[2].value.data(), sizeof registered);
    korvex::AsioDriver& o = object();
    const std::array<uint64_t, 4> expected = {reinterpret_cast<uintptr_t>(o.half0ReadyEvent),
                                              reinterpret_cast<uintptr_t>(o.half1ReadyEvent),
                                              reinterpret_cast<uintptr_t>(o.output0ReadyEvent),
                                              reinterpret_cast<uintptr_t>(o.output1ReadyEvent)};
    EXPECT_EQ(registered, expected);

    const sim::devctl::ControlBlock on = Block(requests[3]);
    EXPECT_EQ(on[0], sim::devctl::kCmdChannels);
    const sim::devctl::Enables enables = simtest::Enable({0, 1, 9});
    EXPECT_TRUE(std::equal(enables.begin(), enables.end(), on.begin() + sim::devctl::kEnableOffset));
    const sim::devctl::ControlBlock off = Block(requests[4]);
    for (size_t b = 0; b <= 10; ++b) EXPECT_EQ(off[b], 0) << "byte " << b;
    // Neither command touches the rest of the block.
    EXPECT_TRUE(std::equal(sizing.begin() + 11, sizing.end(), on.begin() + 11));
    EXPECT_TRUE(std::equal(sizing.begin() + 11, sizing.end(), off.begin() + 11));

    sim::devctl::BufferMap unmapped{};
    ASSERT_EQ(requests[6].value.size(), sizeof unmapped);
    memcpy(unmapped.data(), requests[6].value.data(), sizeof unmapped);
    EXPECT_EQ(unmapped, map);
}

}  // namespace
