// The driver's sweep scenarios: a host's whole session with the driver on a
// simulated card whose clock the scenario steps, run under every failure
// point, with what must hold afterwards.
#include "tests/sweep/driver_scenarios.h"

#include "asio/com/exports.h"
#include "asio/com/server_counts.h"
#include "asio/driver/asio.h"
#include "platform/posix/kernel.h"
#include "sim/card.h"
#include "sim/machine.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace sweep {
namespace {

// ---- The host ------------------------------------------------------------------

// Callbacks are plain functions: they reach the session through this.
struct HostState {
    std::atomic<IASIO*> driver{nullptr};
    std::atomic<int> callbacks{0};
    std::atomic<int> releaseInCall{-1};  // callback index that drops the host's last reference
    std::atomic<ULONG> releaseResult{~0u};
    std::atomic<int> badHalves{0};       // a half index other than 0 or 1
};
HostState* host = nullptr;

void OnSwitch(int32_t half) {
    HostState& state = *host;
    const int index = state.callbacks.fetch_add(1);
    if (half != 0 && half != 1) state.badHalves.fetch_add(1);
    IASIO* driver = state.driver.load();
    if (driver == nullptr) return;
    if (index == state.releaseInCall.load()) {
        state.driver.store(nullptr);
        state.releaseResult.store(driver->Release());
        return;
    }
    driver->outputReady();
}
void BufferSwitch(int32_t half, ASIOBool) { OnSwitch(half); }
ASIOTime* BufferSwitchTimeInfo(ASIOTime* params, int32_t half, ASIOBool) {
    OnSwitch(half);
    return params;
}
void SampleRateDidChange(ASIOSampleRate) {}
int32_t AsioMessage(int32_t selector, int32_t, void*, double*) { return selector == kAsioSupportsTimeInfo ? 1 : 0; }

ASIOCallbacks callbackTable{&BufferSwitch, &SampleRateDidChange, &AsioMessage, &BufferSwitchTimeInfo};

// ---- What must come back ----------------------------------------------------------

struct Baseline {
    kwin::HandleCounts handles;
    int timerPeriods = 0;
    int avrtReferences = 0;
    kwin::ModuleReferenceCalls modules;
    LONG liveObjects = 0;
};

Baseline TakeBaseline() {
    return {kwin::OpenHandles(), kwin::ActiveTimerPeriods(), kwin::Avrt().loadedReferences,
            kwin::ModuleReferenceCounts(), korvex::liveObjectCount};
}

std::string Text(const kwin::HandleCounts& c) {
    return "total " + std::to_string(c.total) + ", events " + std::to_string(c.events) + ", threads " +
           std::to_string(c.threads) + ", device files " + std::to_string(c.deviceFiles) + ", device lists " +
           std::to_string(c.deviceInfoLists) + ", other " + std::to_string(c.other);
}

// Every thread made since the history was reset has ended (waits a little
// for a thread that is on its way out).
bool ThreadsEnded(int* terminated) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (;;) {
        bool ended = true;
        *terminated = 0;
        for (const kwin::ThreadRecord& thread : kwin::ThreadHistory()) {
            ended = ended && thread.finished;
            *terminated += thread.terminated;
        }
        if (ended || std::chrono::steady_clock::now() > until) return ended;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void CheckBackToBaseline(Run& run, const Baseline& before, const sim::Card& card, const char* when) {
    const std::string at = std::string(" ") + when;
    int terminated = 0;
    run.Check(ThreadsEnded(&terminated), "a thread still runs" + at);
    const kwin::HandleCounts handles = kwin::OpenHandles();
    run.Check(handles == before.handles, "handles " + Text(handles) + " instead of " + Text(before.handles) + at);
    // A terminated stream thread does not run its way out: its own 1 ms
    // period stays, as on Windows.
    const int periods = kwin::ActiveTimerPeriods();
    run.Check(periods >= before.timerPeriods && periods <= before.timerPeriods + terminated,
              "timer periods " + std::to_string(periods) + " instead of " + std::to_string(before.timerPeriods) + at);
    run.Check(kwin::Avrt().loadedReferences == before.avrtReferences, "avrt.dll references left" + at);
    const kwin::ModuleReferenceCalls modules = kwin::ModuleReferenceCounts();
    run.Check(modules.processTaken - modules.processReleased == before.modules.processTaken - before.modules.processReleased,
              "module references " + std::to_string(modules.processTaken - modules.processReleased) + " held" + at);
    run.Check(korvex::liveObjectCount == before.liveObjects, "driver objects left alive" + at);
    run.Check(DllCanUnloadNow() == S_OK, "DllCanUnloadNow is not S_OK" + at);
    run.Check(!card.ClaimedBy().has_value(), "the card is still claimed" + at);
    run.Check(card.OpenFiles() == 0, "files open on the card" + at);
    run.Check(!card.EventsRegistered(), "events still registered with the card" + at);
    run.Check(card.Mappings() == 0, "buffers still mapped" + at);
}

// ---- One call, its defined results ------------------------------------------------

template <class T>
bool OneOf(T value, std::initializer_list<T> allowed) {
    for (T a : allowed) {
        if (value == a) return true;
    }
    return false;
}

// Records a result outside the call's defined ones; in the run without
// failures, anything but the first (success) is wrong too.
template <class T>
bool Expect(Run& run, const char* call, T value, std::initializer_list<T> allowed) {
    const bool defined = OneOf(value, allowed);
    run.Check(defined, std::string(call) + " returned " + std::to_string(static_cast<long long>(value)) +
                           ", not one of its defined results");
    const bool succeeded = value == *allowed.begin();
    if (!run.armed()) run.Check(succeeded, std::string(call) + " failed with no failure injected");
    return succeeded;
}

// ---- The session ---------------------------------------------------------------------

struct SessionShape {
    int halves = 4;
    int restarts = 0;        // start..stop pairs after the first, each after a rate change
    int releaseInCall = -1;  // the host drops its reference inside this callback (and then nothing else)
    DWORD halfWaitMs = 2000;  // for a half's answer when no failure is armed
};

constexpr DWORD kFaultHalfWaitMs = 200;  // with a failure armed a half may rightly go unanswered

IASIO* CreateThroughFactory(Run& run) {
    IClassFactory* factory = nullptr;
    const HRESULT got = DllGetClassObject(CLSID_KorvexAsio, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (!Expect<HRESULT>(run, "DllGetClassObject", got, {S_OK, E_OUTOFMEMORY})) return nullptr;
    IASIO* driver = nullptr;
    const HRESULT made = factory->CreateInstance(nullptr, CLSID_KorvexAsio, reinterpret_cast<void**>(&driver));
    Expect<HRESULT>(run, "CreateInstance", made, {S_OK, E_OUTOFMEMORY});
    run.Check(factory->Release() == 0, "the class factory outlived its last Release");
    run.Check(SUCCEEDED(made) == (driver != nullptr), "CreateInstance's result and its object disagree");
    return driver;
}

// What a host asks before it creates buffers. The answers need not be
// right when a failure is armed, only defined.
void Probe(Run& run, IASIO* driver) {
    char name[32] = {};
    driver->getDriverName(name);
    run.Check(std::memchr(name, 0, sizeof name) != nullptr, "the driver name is not terminated");
    driver->getDriverVersion();
    int32_t inputs = 0, outputs = 0;
    Expect<ASIOError>(run, "getChannels", driver->getChannels(&inputs, &outputs), {ASE_OK, ASE_NotPresent});
    for (int32_t channel = 0; channel < 2; ++channel) {
        ASIOChannelInfo info{};
        info.channel = channel;
        info.isInput = ASIOFalse;
        Expect<ASIOError>(run, "getChannelInfo", driver->getChannelInfo(&info), {ASE_OK, ASE_NotPresent});
    }
    int32_t minimum = 0, maximum = 0, preferred = 0, granularity = 0;
    Expect<ASIOError>(run, "getBufferSize", driver->getBufferSize(&minimum, &maximum, &preferred, &granularity),
                      {ASE_OK, ASE_NotPresent});
    ASIOSampleRate rate = 0;
    Expect<ASIOError>(run, "getSampleRate", driver->getSampleRate(&rate), {ASE_OK, ASE_NotPresent});
    Expect<ASIOError>(run, "canSampleRate", driver->canSampleRate(48000.0), {ASE_OK, ASE_NoClock});
    int32_t inputLatency = 0, outputLatency = 0;
    Expect<ASIOError>(run, "getLatencies", driver->getLatencies(&inputLatency, &outputLatency),
                      {ASE_OK, ASE_NotPresent});
    ASIOClockSource clocks[2] = {};
    int32_t sources = 2;
    Expect<ASIOError>(run, "getClockSources", driver->getClockSources(clocks, &sources), {ASE_OK, ASE_NotPresent});
    char message[128] = {};
    driver->getErrorMessage(message);
    run.Check(std::memchr(message, 0, sizeof message) != nullptr, "the error message is not terminated");
}

// Waits for the host's answer to the half fired last, or for the host to
// have dropped the driver inside the callback (it then answers nothing).
bool AnsweredOrReleased(sim::Card& card, const HostState& state, DWORD milliseconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    do {
        if (card.WaitHostAnswer(2)) return true;
        if (state.releaseResult.load() != ~0u) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

// Steps the card through the session's halves of one start; returns whether
// the host dropped the driver inside a callback meanwhile.
bool StreamHalves(Run& run, sim::Card& card, const HostState& state, const SessionShape& shape) {
    const DWORD wait = run.armed() ? kFaultHalfWaitMs : shape.halfWaitMs;
    for (int half = 0; half < shape.halves; ++half) {
        const bool answered = card.FireHalf() && AnsweredOrReleased(card, state, wait);
        if (state.releaseResult.load() != ~0u) break;
        if (!run.armed()) run.Check(answered, "half " + std::to_string(half) + " not answered");
    }
    if (shape.releaseInCall < 0) return false;
    // The stream thread destroys the object on its way out.
    const bool released = state.releaseResult.load() != ~0u;
    if (released) run.Check(state.releaseResult.load() == 0, "Release inside the callback did not return 0");
    if (!run.armed()) run.Check(released, "the callback that releases never came");
    return released;
}

// create, init, probe, createBuffers, start, halves, stop (again after a
// rate change for each restart), disposeBuffers, release; or the release
// inside a callback instead of what follows it.
void Session(Run& run, sim::Card& card, const SessionShape& shape) {
    HostState state;
    host = &state;
    state.releaseInCall = shape.releaseInCall;

    IASIO* driver = CreateThroughFactory(run);
    if (driver == nullptr) return;
    state.driver = driver;
    bool released = false;
    const ASIOBool initialised = driver->init(nullptr);
    Expect<ASIOBool>(run, "init", initialised, {ASIOTrue, ASIOFalse});
    Probe(run, driver);
    ASIOBufferInfo infos[3] = {{ASIOFalse, 0, {nullptr, nullptr}},
                               {ASIOFalse, 1, {nullptr, nullptr}},
                               {ASIOTrue, 0, {nullptr, nullptr}}};
    const ASIOError created = driver->createBuffers(infos, 3, 256, &callbackTable);
    Expect<ASIOError>(run, "createBuffers", created, {ASE_OK, ASE_NoMemory, ASE_NotPresent});
    for (int cycle = 0; cycle <= shape.restarts && !released; ++cycle) {
        if (cycle > 0) {
            const double rate = cycle % 2 != 0 ? 96000.0 : 48000.0;
            Expect<ASIOError>(run, "setSampleRate", driver->setSampleRate(rate), {ASE_OK, ASE_NoClock});
        }
        const ASIOError started = driver->start();
        // ASE_InvalidMode: a terminated stream thread had still not ended.
        Expect<ASIOError>(run, "start", started, {ASE_OK, ASE_NoMemory, ASE_NotPresent, ASE_InvalidMode});
        if (started == ASE_OK) released = StreamHalves(run, card, state, shape);
        if (!released) Expect<ASIOError>(run, "stop", driver->stop(), {ASE_OK, ASE_NoMemory});
    }
    if (!released) {
        Expect<ASIOError>(run, "disposeBuffers", driver->disposeBuffers(), {ASE_OK, ASE_NotPresent});
        state.driver = nullptr;
        run.Check(driver->Release() == 0, "the last Release did not return 0");
    }
    run.Check(state.badHalves.load() == 0, "a buffer switch for a half other than 0 or 1");
    host = nullptr;
}

// With nothing armed any more, a new host session on the same machine works.
void LaterSessionWorks(Run& run, sim::Card& card) {
    Run strict(nullptr);
    SessionShape shape;
    shape.halves = 2;
    Session(strict, card, shape);
    for (const std::string& problem : strict.problems()) run.Check(false, "later session: " + problem);
}

void DriverScenario(Run& run, const SessionShape& shape) {
    sim::Machine machine;
    sim::Card& card = machine.AddCard({.model = sim::CardModel::Eight, .clock = sim::ClockMode::Stepped});
    kwin::ResetThreadHistory();
    const Baseline before = TakeBaseline();
    run.Begin();
    Session(run, card, shape);
    run.End();
    CheckBackToBaseline(run, before, card, "after the session");
    LaterSessionWorks(run, card);
    CheckBackToBaseline(run, before, card, "after the later session");
}

}  // namespace

std::vector<Scenario> DriverScenarios(const DriverSweepOptions& options) {
    SessionShape session;
    session.halves = options.halves;
    SessionShape restarting = session;
    restarting.halves = 2;
    restarting.restarts = options.restarts;
    SessionShape releasing = session;
    releasing.releaseInCall = options.halves - 1;
    return {
        {"driver-session",
         "create, init, probe, createBuffers, start, " + std::to_string(options.halves) +
             " halves, stop, disposeBuffers, release",
         [session](Run& run) { DriverScenario(run, session); }},
        {"driver-restart",
         "create, init, probe, createBuffers, then " + std::to_string(restarting.restarts + 1) + " times start, " +
             std::to_string(restarting.halves) + " halves, stop, the rate changed before each restart, " +
             "disposeBuffers, release",
         [restarting](Run& run) { DriverScenario(run, restarting); }},
        {"driver-release-in-callback",
         "the same session, the host dropping its last reference inside callback " +
             std::to_string(releasing.releaseInCall + 1),
         [releasing](Run& run) { DriverScenario(run, releasing); }},
    };
}

}  // namespace sweep
