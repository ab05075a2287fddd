// The driver streaming under Wine on the simulated card inside
// KorvexASIO-simcard.dll, found and created as a host does (registry, COM in a
// single-threaded apartment). The card's configuration comes from the
// environment (KORVEX_SIMCARD_*); KORVEX_TEST_SECONDS is how long the stream
// test streams. Also the driver's life cycle under Wine: repeated streams and
// objects leave no handle or thread behind, stop from inside the callback, a
// host that never answers, a callback that blocks, and the DLL's unloading.
#include "sim/wav.h"
#include "tests/wine/process_counts.h"
#include "tests/wine/simcard/com_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <numbers>
#include <string>
#include <vector>

namespace {

using korvex::simcard::StatusView;
using korvex::wine_test::CountsNow;
using korvex::wine_test::Describe;
using korvex::wine_test::ProcessCounts;
using korvex::wine_test::SettleTo;

constexpr double kFullScale = 2147483647.0;
constexpr double kOutputLevel = 0.25;  // -12 dBFS
double OutputHz(int output) { return 440.0 + 110.0 * output; }

uint64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000 + static_cast<uint64_t>(ts.tv_nsec);
}

double EnvNumber(const char* name, double fallback) {
    char text[64];
    const DWORD n = GetEnvironmentVariableA(name, text, sizeof text);
    return n > 0 && n < sizeof text ? std::atof(text) : fallback;
}

// What the callbacks do; one host at a time (ASIO callbacks are plain functions).
struct Host {
    IASIO* driver = nullptr;
    int32_t inputs = 0, outputs = 0, size = 0;
    std::vector<ASIOBufferInfo> infos;
    std::atomic<uint64_t> callbacks{0};
    std::atomic<int> halfErrors{0};
    uint64_t written = 0;  // frames written on each output
    std::vector<std::vector<int32_t>> outputsWritten;  // the first frames of each output, as written
    size_t keepFrames = 0;
    std::vector<double> inputPeak;
    std::vector<uint64_t> inputCrossings;
    std::vector<double> firstCrossing, lastCrossing, previous;
    uint64_t inputFrames = 0;
    // Test behaviours.
    bool answer = true;            // call outputReady
    bool stopInside = false;       // call stop from the callback, once
    std::atomic<int> stopInsideResult{-1};
    DWORD blockMs = 0;             // the first callback blocks this long
    std::atomic<bool> blocked{false};
    std::vector<uint64_t> callbackNs;  // when each callback began, while there is room
};
Host* host = nullptr;

void OnBufferSwitch(int32_t index, ASIOBool) {
    Host& h = *host;
    const uint64_t n = h.callbacks.load(std::memory_order_relaxed);
    if (n < h.callbackNs.size()) h.callbackNs[n] = NowNs();
    if (index != static_cast<int32_t>(n & 1)) h.halfErrors.fetch_add(1);
    for (const ASIOBufferInfo& info : h.infos) {
        auto* samples = static_cast<int32_t*>(info.buffers[index & 1]);
        if (info.isInput) {
            const int i = info.channelNum;
            for (int32_t f = 0; f < h.size; ++f) {
                const double x = samples[f];
                const double at = static_cast<double>(h.inputFrames + f);
                h.inputPeak[i] = std::max(h.inputPeak[i], std::fabs(x));
                if (h.previous[i] < 0 && x >= 0) {
                    const double crossing = at - 1 + (-h.previous[i]) / (x - h.previous[i]);
                    if (h.inputCrossings[i]++ == 0) h.firstCrossing[i] = crossing;
                    h.lastCrossing[i] = crossing;
                }
                h.previous[i] = x;
            }
        } else {
            const int o = info.channelNum;
            for (int32_t f = 0; f < h.size; ++f) {
                const double t = static_cast<double>(h.written + f) / 48000.0;  // rate-independent test pattern
                samples[f] = static_cast<int32_t>(std::lrint(kFullScale * kOutputLevel *
                                                             std::sin(2 * std::numbers::pi * OutputHz(o) * t)));
                if (h.written + f < h.keepFrames) h.outputsWritten[o].push_back(samples[f]);
            }
        }
    }
    h.inputFrames += h.size;
    h.written += h.size;
    if (h.blockMs != 0 && !h.blocked.exchange(true)) Sleep(h.blockMs);
    if (h.stopInside) {
        h.stopInside = false;
        h.stopInsideResult = h.driver->stop();
    }
    if (h.answer) h.driver->outputReady();
    h.callbacks.fetch_add(1, std::memory_order_release);
}
void OnRateChange(ASIOSampleRate) {}
int32_t OnMessage(int32_t, int32_t, void*, double*) { return 0; }
ASIOTime* OnTimeInfo(ASIOTime* params, int32_t index, ASIOBool direct) {
    OnBufferSwitch(index, direct);
    return params;
}
ASIOCallbacks callbacks{&OnBufferSwitch, &OnRateChange, &OnMessage, &OnTimeInfo};

class SimcardStream : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        ASSERT_TRUE(korvex::simcard::FindDriverClass(korvex::simcard::kDriverKeyName, &clsid))
            << "HKLM\\SOFTWARE\\ASIO\\... not registered (the simcard_register fixture)";
    }
    void TearDown() override {
        if (h.driver != nullptr) {
            h.driver->disposeBuffers();
            h.driver->Release();
        }
        host = nullptr;
        CoUninitialize();
    }

    IASIO* Create() {
        HRESULT hr = E_FAIL;
        IASIO* driver = korvex::simcard::CreateDriver(clsid, &hr);
        EXPECT_EQ(hr, S_OK);
        return driver;
    }

    // Creates the driver, init, buffers for every channel at the preferred size.
    void Prepare(size_t keepFrames = 0) {
        h.driver = Create();
        ASSERT_NE(h.driver, nullptr);
        ASSERT_EQ(h.driver->init(nullptr), ASIOTrue);
        ASSERT_EQ(h.driver->getChannels(&h.inputs, &h.outputs), ASE_OK);
        int32_t minimum = 0, maximum = 0, granularity = 0;
        ASSERT_EQ(h.driver->getBufferSize(&minimum, &maximum, &h.size, &granularity), ASE_OK);
        h.infos.clear();
        for (int32_t i = 0; i < h.inputs; ++i) h.infos.push_back({ASIOTrue, i, {nullptr, nullptr}});
        for (int32_t o = 0; o < h.outputs; ++o) h.infos.push_back({ASIOFalse, o, {nullptr, nullptr}});
        h.inputPeak.assign(h.inputs, 0);
        h.inputCrossings.assign(h.inputs, 0);
        h.firstCrossing.assign(h.inputs, 0);
        h.lastCrossing.assign(h.inputs, 0);
        h.previous.assign(h.inputs, 0);
        h.keepFrames = keepFrames;
        h.outputsWritten.assign(h.outputs, {});
        for (auto& kept : h.outputsWritten) kept.reserve(keepFrames);
        host = &h;
        ASSERT_EQ(h.driver->createBuffers(h.infos.data(), static_cast<int32_t>(h.infos.size()), h.size, &callbacks),
                  ASE_OK);
        ASSERT_TRUE(status.Open()) << "the card published no status";
    }

    bool WaitCallbacks(uint64_t count, DWORD ms) {
        const uint64_t until = NowNs() + ms * 1'000'000ull;
        while (h.callbacks.load() < count) {
            if (NowNs() > until) return false;
            Sleep(1);
        }
        return true;
    }

    uint64_t Position() {
        ASIOSamples position{};
        ASIOTimeStamp stamp{};
        h.driver->getSamplePosition(&position, &stamp);
        return static_cast<uint64_t>(position.hi) << 32 | position.lo;
    }

    CLSID clsid{};
    Host h;
    StatusView status;
};

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

// Where the time of a stream went, from the card's stamps and the callbacks'
// start times (one clock: both are QueryPerformanceCounter underneath).
void PrintTiming(const StatusView& status, uint64_t first, uint64_t count, const std::vector<uint64_t>& callbackNs,
                 uint64_t calls, double periodNs) {
    std::vector<uint64_t> signals;
    std::vector<double> lateness, gaps;
    uint64_t skipped = 0, previousDue = 0;
    for (uint64_t k = 0; k < count; ++k) {
        uint64_t ns = 0, due = 0;
        int half = 0;
        if (!status.Stamp(first + k, &ns, &half, &due)) continue;
        if (!signals.empty()) {
            gaps.push_back(static_cast<double>(ns - signals.back()));
            skipped += static_cast<uint64_t>(std::llround((due - previousDue) / periodNs)) - 1;
        }
        signals.push_back(ns);
        lateness.push_back(static_cast<double>(ns) - static_cast<double>(due));
        previousDue = due;
    }
    // A signal whose half no callback began on before the next signal.
    std::vector<double> delays;
    uint64_t unserved = 0;
    size_t c = 0;
    const size_t callbacks = std::min<size_t>(callbackNs.size(), calls);
    for (size_t k = 0; k < signals.size(); ++k) {
        while (c < callbacks && callbackNs[c] < signals[k]) ++c;
        const uint64_t next = k + 1 < signals.size() ? signals[k + 1] : UINT64_MAX;
        if (c < callbacks && callbackNs[c] < next) {
            delays.push_back(static_cast<double>(callbackNs[c] - signals[k]));
        } else if (k + 1 < signals.size()) {
            ++unserved;
        }
    }
    const double us = 1e3;
    printf("signal late vs deadline (us): p50 %.0f p99 %.0f max %.0f; gaps (us): min %.0f max %.0f, "
           "%llu under half a period; deadlines skipped %llu\n",
           Percentile(lateness, 0.5) / us, Percentile(lateness, 0.99) / us, Percentile(lateness, 1) / us,
           Percentile(gaps, 0) / us, Percentile(gaps, 1) / us,
           static_cast<unsigned long long>(std::count_if(gaps.begin(), gaps.end(),
                                                         [&](double g) { return g < periodNs / 2; })),
           static_cast<unsigned long long>(skipped));
    printf("signal to callback (us): p50 %.0f p99 %.0f max %.0f; signals no callback began on before the next: %llu\n",
           Percentile(delays, 0.5) / us, Percentile(delays, 0.99) / us, Percentile(delays, 1) / us,
           static_cast<unsigned long long>(unserved));
}

// The card clock's own late signals: the deadlines it skipped, having woken
// more than half a period late (gaps in the deadlines of its stamps).
uint64_t LateSignals(const StatusView& status, uint64_t first, uint64_t count, double periodNs) {
    uint64_t late = 0, previousDue = 0;
    for (uint64_t k = 0; k < count; ++k) {
        uint64_t ns = 0, due = 0;
        int half = 0;
        if (!status.Stamp(first + k, &ns, &half, &due)) continue;
        if (previousDue != 0) late += static_cast<uint64_t>(std::llround((due - previousDue) / periodNs)) - 1;
        previousDue = due;
    }
    return late;
}

TEST_F(SimcardStream, EveryHalfReachesTheHostWithTheCardsToneAndTheCardRecordsTheOutputs) {
    const double seconds = EnvNumber("KORVEX_TEST_SECONDS", 5);
    char wav[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableA("KORVEX_SIMCARD_WAV", wav, sizeof wav), 0u) << "set KORVEX_SIMCARD_WAV";
    const double rate = EnvNumber("KORVEX_SIMCARD_RATE", 48000);
    const double toneHz = EnvNumber("KORVEX_SIMCARD_TONE_HZ", 1000);
    const double toneDbfs = EnvNumber("KORVEX_SIMCARD_TONE_DBFS", -6);
    ASSERT_NO_FATAL_FAILURE(Prepare(static_cast<size_t>(rate * (seconds + 1))));
    const double periodNs = h.size * 1e9 / rate;
    h.callbackNs.assign(static_cast<size_t>(seconds * rate / h.size * 1.2) + 100, 0);
    const uint64_t firstSequence = status->halvesSignalled;
    const uint64_t overrunsBefore = status->overruns;
    const uint32_t wavWritesBefore = status->wavWrites;

    ASSERT_EQ(h.driver->start(), ASE_OK);
    Sleep(static_cast<DWORD>(seconds * 1000));
    // Stop just after a callback, so that the next half is a whole period away.
    const uint64_t seen = h.callbacks.load();
    WaitCallbacks(seen + 1, 1000);
    ASSERT_EQ(h.driver->stop(), ASE_OK);
    const uint64_t calls = h.callbacks.load();
    const uint64_t signalled = status->halvesSignalled - firstSequence;
    const uint64_t overruns = status->overruns - overrunsBefore;
    const uint64_t late = LateSignals(status, firstSequence, signalled, periodNs);
    printf("halves %llu, callbacks %llu, overruns %llu, card signals late %llu, size %d, rate %.0f\n",
           static_cast<unsigned long long>(signalled), static_cast<unsigned long long>(calls),
           static_cast<unsigned long long>(overruns), static_cast<unsigned long long>(late), h.size, rate);
    PrintTiming(status, firstSequence, signalled, h.callbackNs, calls, periodNs);

    // The clock kept the pace: the halves it signalled and the deadlines it skipped fill the time.
    EXPECT_GE(signalled + late, static_cast<uint64_t>(seconds * rate / h.size * 0.95));
    // A half signalled while stop was under way may miss the host; beyond
    // that, no more halves lost and no more overruns than the clock's own late signals.
    EXPECT_LE(calls, signalled);
    EXPECT_LE(signalled, calls + 1 + late) << "halves lost beyond the card clock's own late signals";
    EXPECT_EQ(h.halfErrors.load(), 0);
    EXPECT_EQ(Position(), calls * static_cast<uint64_t>(h.size));
    EXPECT_LE(overruns, late) << "overruns beyond the card clock's own late signals";

    for (int32_t i = 0; i < h.inputs; ++i) {
        ASSERT_GE(h.inputCrossings[i], 2u) << "input " << i << " silent";
        const double hz = (h.inputCrossings[i] - 1) * rate / (h.lastCrossing[i] - h.firstCrossing[i]);
        EXPECT_NEAR(hz, toneHz, toneHz * 0.001) << "input " << i;
        EXPECT_NEAR(20 * std::log10(h.inputPeak[i] / kFullScale), toneDbfs, 0.05) << "input " << i;
    }

    // Written at the stop: every output the host wrote, half by half, silence
    // only for halves answered late.
    EXPECT_EQ(status->wavWrites, wavWritesBefore + 1);
    const auto recorded = sim::ReadWav(wav);
    ASSERT_TRUE(recorded.has_value()) << wav;
    EXPECT_EQ(recorded->sampleRate, static_cast<uint32_t>(rate));
    ASSERT_EQ(recorded->channels, static_cast<uint16_t>(h.outputs));
    EXPECT_GE(recorded->Frames() + static_cast<size_t>(h.size), calls * static_cast<size_t>(h.size));
    if (overruns == 0) {
        size_t mismatches = 0;
        const size_t frames = std::min(recorded->Frames(), h.outputsWritten[0].size());
        for (int32_t o = 0; o < h.outputs; ++o) {
            for (size_t f = 0; f < frames; ++f) {
                mismatches += recorded->samples[f * h.outputs + o] != h.outputsWritten[o][f];
            }
        }
        EXPECT_EQ(mismatches, 0u) << "of " << frames << " frames per output";
    }
}

// ---- Life cycle -------------------------------------------------------------

// A thread that ended leaves the process's counts shortly after a wait on it
// returned: polls for the baseline.
::testing::AssertionResult BackToBaseline(const ProcessCounts& baseline) {
    const ProcessCounts now = SettleTo(baseline);
    printf("%s (baseline %s)\n", Describe(now).c_str(), Describe(baseline).c_str());
    if (now == baseline) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not back to the baseline";
}

class SimcardLifecycle : public SimcardStream {
protected:
    // Start, at least one callback, stop.
    void StreamBriefly() {
        const uint64_t before = h.callbacks.load();
        ASSERT_EQ(h.driver->start(), ASE_OK);
        ASSERT_TRUE(WaitCallbacks(before + 1, 2000)) << "no callback after start";
        ASSERT_EQ(h.driver->stop(), ASE_OK);
    }

    // Create, init, buffers for every channel, dispose, release.
    void ObjectCycle() {
        IASIO* driver = Create();
        ASSERT_NE(driver, nullptr);
        EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        int32_t inputs = 0, outputs = 0, minimum = 0, maximum = 0, preferred = 0, granularity = 0;
        EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
        EXPECT_EQ(driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
        std::vector<ASIOBufferInfo> infos;
        for (int32_t i = 0; i < inputs; ++i) infos.push_back({ASIOTrue, i, {nullptr, nullptr}});
        for (int32_t o = 0; o < outputs; ++o) infos.push_back({ASIOFalse, o, {nullptr, nullptr}});
        EXPECT_EQ(driver->createBuffers(infos.data(), static_cast<int32_t>(infos.size()), preferred, &callbacks),
                  ASE_OK);
        EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
        EXPECT_EQ(driver->Release(), 0u);
    }
};

// The card and its status mapping live for the process: the baseline is
// taken after one warm-up cycle.
TEST_F(SimcardLifecycle, TwoHundredStartStopCyclesLeaveNoHandleOrThreadBehind) {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    ASSERT_NO_FATAL_FAILURE(StreamBriefly());
    const ProcessCounts baseline = CountsNow();
    for (int cycle = 0; cycle < 200; ++cycle) {
        ASSERT_NO_FATAL_FAILURE(StreamBriefly()) << "cycle " << cycle;
    }
    EXPECT_TRUE(BackToBaseline(baseline));
}

TEST_F(SimcardLifecycle, TwoHundredObjectCyclesLeaveNoHandleOrThreadBehind) {
    ASSERT_NO_FATAL_FAILURE(ObjectCycle());
    const ProcessCounts baseline = CountsNow();
    for (int cycle = 0; cycle < 200; ++cycle) {
        ASSERT_NO_FATAL_FAILURE(ObjectCycle()) << "cycle " << cycle;
    }
    EXPECT_TRUE(BackToBaseline(baseline));
}

TEST_F(SimcardLifecycle, StopFromInsideTheCallbackEndsTheStreamAndTheNextStartStreams) {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    h.stopInside = true;
    ASSERT_EQ(h.driver->start(), ASE_OK);
    ASSERT_TRUE(WaitCallbacks(1, 2000));
    Sleep(100);  // many periods
    EXPECT_EQ(h.stopInsideResult.load(), ASE_OK);
    EXPECT_EQ(h.callbacks.load(), 1u) << "callbacks after stop";
    EXPECT_EQ(Position(), static_cast<uint64_t>(h.size));

    ASSERT_EQ(h.driver->start(), ASE_OK);
    EXPECT_TRUE(WaitCallbacks(5, 2000)) << "the next start did not stream";
    EXPECT_EQ(h.driver->stop(), ASE_OK);
}

TEST_F(SimcardLifecycle, AHostThatNeverCallsOutputReadyGetsOneCallbackPerStart) {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    h.answer = false;
    for (uint64_t round = 1; round <= 2; ++round) {
        ASSERT_EQ(h.driver->start(), ASE_OK);
        ASSERT_TRUE(WaitCallbacks(round, 2000));
        Sleep(100);
        EXPECT_EQ(h.callbacks.load(), round);
        const uint64_t before = NowNs();
        EXPECT_EQ(h.driver->stop(), ASE_OK);
        EXPECT_LT(NowNs() - before, 500'000'000u) << "stop waited for a thread blocked on the host";
    }
    EXPECT_GT(status->overruns, 0u) << "the card saw answers nobody gave";
}

TEST_F(SimcardLifecycle, StopEndsACallbackBlockedForFiveSecondsWithinTheWaitAndTheNextStartStreams) {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    h.blockMs = 5000;
    ASSERT_EQ(h.driver->start(), ASE_OK);
    const uint64_t until = NowNs() + 2'000'000'000ull;
    while (!h.blocked.load() && NowNs() < until) Sleep(1);
    ASSERT_TRUE(h.blocked.load()) << "no callback";
    const ProcessCounts during = CountsNow();
    const uint64_t before = NowNs();
    EXPECT_EQ(h.driver->stop(), ASE_OK);
    const double stopMs = static_cast<double>(NowNs() - before) / 1e6;
    printf("stop with the callback blocked took %.0f ms\n", stopMs);
    EXPECT_GE(stopMs, 900.0) << "stop did not wait for the thread";
    EXPECT_LE(stopMs, 1100.0);
    EXPECT_EQ(h.callbacks.load(), 0u) << "the blocked callback returned";
    EXPECT_LT(CountsNow().threads, during.threads) << "the stream thread is still there";

    ASSERT_EQ(h.driver->start(), ASE_OK);
    EXPECT_TRUE(WaitCallbacks(5, 2000)) << "the next start did not stream";
    EXPECT_EQ(h.driver->stop(), ASE_OK);
}

// Its own process: the DLL is gone afterwards.
class SimcardUnload : public SimcardStream {};

TEST_F(SimcardUnload, DllCanUnloadNowAfterTheLastReleaseAndCoFreeUnusedLibrariesUnloadsTheDll) {
    constexpr const wchar_t* kDll = L"KorvexASIO-simcard.dll";
    ASSERT_NO_FATAL_FAILURE(Prepare());
    HMODULE module = GetModuleHandleW(kDll);
    ASSERT_NE(module, nullptr);
    using CanUnload = HRESULT(STDAPICALLTYPE*)();
    auto canUnload = reinterpret_cast<CanUnload>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    ASSERT_NE(canUnload, nullptr);
    ASSERT_EQ(h.driver->start(), ASE_OK);
    ASSERT_TRUE(WaitCallbacks(3, 2000));
    ASSERT_EQ(h.driver->stop(), ASE_OK);
    EXPECT_EQ(canUnload(), S_FALSE) << "with an object alive";
    EXPECT_EQ(h.driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(h.driver->Release(), 0u);
    h.driver = nullptr;
    status.Close();
    EXPECT_EQ(canUnload(), S_OK);

    CoFreeUnusedLibraries();
    EXPECT_EQ(GetModuleHandleW(kDll), nullptr) << "still loaded";
    Sleep(100);  // a thread of the DLL left running would now crash the process

    // Loaded again, it works again.
    ASSERT_NO_FATAL_FAILURE(Prepare());
    const uint64_t before = h.callbacks.load();
    ASSERT_EQ(h.driver->start(), ASE_OK);
    EXPECT_TRUE(WaitCallbacks(before + 3, 2000));
    EXPECT_EQ(h.driver->stop(), ASE_OK);
}

}  // namespace
