// korvex-sim service --storm N --seed S: the service driven by a random,
// valid sequence of device events and session changes, with what must hold
// checked after every step. A failing sequence is shrunk (steps deleted
// while it still fails) and printed.
//
// The service's list is its own; what the machine sees of it is read
// instead: the device files and the handle registrations the service
// process holds on each card, the controls and how long each took to be
// answered, the handles it holds besides.
#include "platform/posix/kernel.h"
#include "platform/posix/kernel_pnp.h"
#include "platform/posix/kernel_sessions.h"
#include "sim/control_panel.h"
#include "sim/machine.h"
#include "sim/pnp.h"
#include "sim/service_process.h"
#include "tools/korvex-sim/host_cli.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace korvex::cli {
namespace {

using Clock = std::chrono::steady_clock;

// Bounds of seconds pass in a fiftieth of that.
constexpr DWORD kStormTimeScale = 50;
constexpr ULONGLONG kAnswerBoundMs = 20000;
constexpr size_t kMaxCards = 5;
constexpr size_t kMaxHoldersOfAKind = 3;
constexpr DWORD kSessions[] = {0, 1, 2, 3};
constexpr DWORD kSlowAnswerMs = 2000;  // machine time; within the instance's bound on a send

enum class Op {
    Arrive, ArriveSlow, Remove, Refuse, Surprise, Logon, Logoff, Connect,
    SlowHolder, SilentHolder, Decoy, Interrogate, ClosePanels,
};

struct OpInfo {
    Op op;
    const char* name;
    int weight;
};

const OpInfo kOps[] = {
    {Op::Arrive, "arrive", 8},          {Op::ArriveSlow, "arrive-slow", 6}, {Op::Remove, "remove", 6},
    {Op::Refuse, "refuse", 5},          {Op::Surprise, "surprise", 4},      {Op::Logon, "logon", 4},
    {Op::Logoff, "logoff", 3},          {Op::Connect, "connect", 3},        {Op::SlowHolder, "slow-panel", 2},
    {Op::SilentHolder, "silent", 1},    {Op::Decoy, "decoy", 2},            {Op::Interrogate, "interrogate", 3},
    {Op::ClosePanels, "close-panels", 2},
};

const char* OpName(Op op) {
    for (const OpInfo& info : kOps) {
        if (info.op == op) return info.name;
    }
    return "?";
}

const sim::CardModel kModels[] = {sim::CardModel::Pico, sim::CardModel::Six, sim::CardModel::Duo0,
                                  sim::CardModel::Duo, sim::CardModel::Eight};
const char* const kModelNames[] = {"pico", "six", "duo0", "duo", "eight"};

// One step: the operation and two choices, resolved against the machine as
// it is when the step runs (a card by its position among those present, a
// model, a session), so that any subsequence is a valid sequence too.
struct StormStep {
    Op op;
    unsigned a;
    unsigned b;
};

std::string Describe(const StormStep& step) {
    std::string text = OpName(step.op);
    switch (step.op) {
        case Op::Arrive:
        case Op::ArriveSlow: return text + " " + kModelNames[step.a % 5];
        case Op::Remove:
        case Op::Refuse:
        case Op::Surprise: return text + " card#" + std::to_string(step.a);
        case Op::Logon:
        case Op::Logoff:
        case Op::Connect: return text + " session " + std::to_string(1 + step.a % 3);
        case Op::SlowHolder:
        case Op::SilentHolder:
        case Op::Decoy:
            return text + " card#" + std::to_string(step.a) + " session " + std::to_string(1 + step.b % 3);
        default: return text;
    }
}

std::vector<StormStep> Generate(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    int total = 0;
    for (const OpInfo& info : kOps) total += info.weight;
    std::vector<StormStep> steps;
    for (size_t i = 0; i < count; ++i) {
        int pick = static_cast<int>(random() % static_cast<unsigned>(total));
        Op op = kOps[0].op;
        for (const OpInfo& info : kOps) {
            if (pick < info.weight) {
                op = info.op;
                break;
            }
            pick -= info.weight;
        }
        steps.push_back({op, static_cast<unsigned>(random() % 16), static_cast<unsigned>(random() % 16)});
    }
    return steps;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

// ---- Programs of other vendors that hold a card or mark a window -------------------------

enum class HolderKind { Slow, Silent, Decoy };

// A program's thread with a window on a session's default desktop marked
// with the card's ID. Slow: holds the card, answers "ForceClose" after a
// while by closing it. Silent: holds the card, never looks for messages.
// Decoy: holds nothing, answers at once.
class Holder {
public:
    Holder(HolderKind kind, DWORD session, const std::wstring& id, const std::wstring& path) : kind_(kind) {
        std::promise<void> ready;
        auto up = ready.get_future();
        thread_ = std::thread([this, session, id, path, ready = std::move(ready)]() mutable {
            threadId_ = GetCurrentThreadId();
            if (kind_ != HolderKind::Decoy) {
                card_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
            }
            window_ = kwin::CreateTestWindow(session, L"WinSta0\\Default", kind_ == HolderKind::Slow ? &Procedure : nullptr);
            if (window_) {
                SetPropW(window_, id.c_str(), reinterpret_cast<HANDLE>(1));
                std::lock_guard lock(Mutex());
                Windows()[window_] = this;
            }
            ready.set_value();
            if (kind_ == HolderKind::Silent) {
                released_.get_future().wait();
            } else {
                kwin::RunMessageLoop();
            }
            {
                std::lock_guard lock(Mutex());
                Windows().erase(window_);
            }
            if (window_) kwin::DestroyTestWindow(window_);
            if (card_ != INVALID_HANDLE_VALUE) CloseHandle(card_);
        });
        up.wait();
    }
    ~Holder() {
        if (kind_ == HolderKind::Silent) {
            released_.set_value();
        } else {
            kwin::PostQuit(threadId_);
        }
        thread_.join();
    }
    HolderKind kind() const { return kind_; }
    bool holds() const { return card_ != INVALID_HANDLE_VALUE; }

private:
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::map<HWND, Holder*>& Windows() {
        static std::map<HWND, Holder*> windows;
        return windows;
    }
    static LRESULT Procedure(HWND window, UINT message, WPARAM, LPARAM) {
        if (message != RegisterWindowMessageW(L"ForceClose")) return 0;
        Holder* holder = nullptr;
        {
            std::lock_guard lock(Mutex());
            const auto found = Windows().find(window);
            if (found != Windows().end()) holder = found->second;
        }
        if (holder == nullptr) return 0;
        Sleep(kSlowAnswerMs);
        if (holder->card_ != INVALID_HANDLE_VALUE) CloseHandle(holder->card_);
        holder->card_ = INVALID_HANDLE_VALUE;
        return 0;
    }

    HolderKind kind_;
    DWORD threadId_ = 0;
    HWND window_ = nullptr;
    HANDLE card_ = INVALID_HANDLE_VALUE;
    std::promise<void> released_;
    std::thread thread_;
};

// ---- One run of a sequence ---------------------------------------------------------------------

struct StormFailure {
    size_t step;  // index of the step after which it was seen; the sequence's size: at the final stop
    std::string what;
};

struct StormFigures {
    std::map<std::string, int> ops;  // steps that did something, by operation
    int granted = 0, refused = 0, surprises = 0;
    int excusedHandles = 0;  // handles of silent programs still open at a granted removal
    ULONGLONG longestAnswer = 0;
    size_t controls = 0;
};

class StormRun {
public:
    StormRun(bool verbose) : verbose_(verbose) {}

    std::optional<StormFailure> Run(const std::vector<StormStep>& steps, StormFigures* figures) {
        figures_ = figures;
        sim::Machine machine;
        machine_ = &machine;
        machine.InstallService(KORVEXS_IMAGE);
        kwin::SetTimeScale(kStormTimeScale);
        kwin::SetSessions({{0, L"Services", WTSDisconnected},
                           {1, L"Console", WTSActive, L"alice"},
                           {2, L"RDP-Tcp#0", WTSActive, L"bob"},
                           {3, L"RDP-Tcp#1", WTSActive, L"carol"}},
                          1);
        panels_ = std::make_unique<sim::ControlPanelProgram>();
        const kwin::HandleCounts before = kwin::OpenHandles();
        std::optional<StormFailure> failure;
        {
            sim::ServiceProcess service;
            service_ = &service;
            if (!service.started() || !service.WaitForState(SERVICE_RUNNING, 10000)) {
                failure = StormFailure{0, "the service did not reach RUNNING"};
            } else {
                serviceOtherHandles_ = OtherHandles();
                for (size_t i = 0; i < steps.size() && !failure; ++i) {
                    if (verbose_) std::printf("  %zu: %s\n", i + 1, Describe(steps[i]).c_str());
                    std::string problem = Apply(steps[i]);
                    // The programs the step started put their windows up
                    // before anything else happens, as a user's would.
                    if (problem.empty() && !PanelsSettled()) problem = "a control panel did not come up";
                    if (problem.empty()) problem = Check();
                    if (!problem.empty()) failure = StormFailure{i, problem};
                }
                service.Control(SERVICE_CONTROL_STOP);
                if (!service.WaitForExit(30000)) {
                    if (!failure) failure = StormFailure{steps.size(), "the service did not stop"};
                } else if (!failure) {
                    const auto statuses = service.Statuses();
                    if (statuses.empty() || statuses.back().dwCurrentState != SERVICE_STOPPED ||
                        statuses.back().dwWin32ExitCode != NO_ERROR) {
                        failure = StormFailure{steps.size(), "the stop did not end in SERVICE_STOPPED, exit code 0"};
                    }
                    if (!failure) {
                        const std::string late = Answers();
                        if (!late.empty()) failure = StormFailure{steps.size(), late};
                    }
                }
            }
            service_ = nullptr;
        }
        holders_.clear();
        panels_.reset();
        if (!kwin::WaitAllProcessesEnded(20000) && !failure) failure = StormFailure{steps.size(), "a process still runs"};
        if (!failure) {
            for (const auto& record : kwin::ProcessHistory()) {
                if (!record.terminated && record.handlesLeftAtExit != 0) {
                    failure = StormFailure{steps.size(), Narrow(record.imagePath) + " left " +
                                                             std::to_string(record.handlesLeftAtExit) + " handles open"};
                    break;
                }
            }
        }
        if (!failure && !(kwin::OpenHandles() == before)) failure = StormFailure{steps.size(), "handles leaked"};
        if (!failure && !kwin::DeviceNotificationRegistrations().empty()) {
            failure = StormFailure{steps.size(), "device notifications left registered"};
        }
        machine_ = nullptr;
        return failure;
    }

private:
    sim::Card* Pick(unsigned choice) const {
        const auto cards = machine_->Cards();
        return cards.empty() ? nullptr : cards[choice % cards.size()];
    }

    // Every panel started so far has its window up or has ended.
    bool PanelsSettled() const { return panels_->WaitSettled(); }

    void Count(Op op) { ++figures_->ops[OpName(op)]; }

    DWORD Control(DWORD control, DWORD eventType = 0) { return service_->Control(control, eventType); }

    // Does the step; returns a broken rule seen while doing it.
    std::string Apply(const StormStep& step) {
        const DWORD session = 1 + step.a % 3;
        switch (step.op) {
            case Op::Arrive:
            case Op::ArriveSlow: {
                if (machine_->Cards().size() >= kMaxCards) return {};
                const sim::CardConfig config{.model = kModels[step.a % 5], .streamingInterfaces = true};
                const sim::Card& card = step.op == Op::Arrive ? sim::ArriveCard(*machine_, config)
                                                              : sim::ArriveCardInterfaceByInterface(*machine_, config);
                seen_.push_back(card.InstanceId());
                break;
            }
            case Op::Remove:
            case Op::Refuse:
            case Op::Surprise: {
                sim::Card* card = Pick(step.a);
                if (card == nullptr) return {};
                const std::wstring id = card->InstanceId();
                int excused = 0;
                for (const auto& holder : holders_) {
                    excused += holder.second == id && holder.first->kind() == HolderKind::Silent && holder.first->holds();
                }
                if (step.op == Op::Surprise) {
                    sim::SurpriseRemoval(*machine_, *card);
                    ++figures_->surprises;
                } else {
                    const kwin::RemovalResult result = sim::RequestRemoval(*machine_, *card, step.op == Op::Refuse);
                    if (step.op == Op::Refuse) {
                        ++figures_->refused;
                        if (result.removed) return "a refused removal removed the card";
                    } else {
                        ++figures_->granted;
                        if (!result.removed) return "a granted removal did not remove the card";
                        if (result.handlesStillOpen > excused) {
                            return "card " + Narrow(id) + " removed with " + std::to_string(result.handlesStillOpen) +
                                   " handles open, " + std::to_string(excused) +
                                   " of them a program's whose window never answers";
                        }
                        figures_->excusedHandles += result.handlesStillOpen;
                    }
                }
                break;
            }
            case Op::Logon:
                kwin::SetSessionUser(session, L"user" + std::to_wstring(session));
                Control(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON);
                break;
            case Op::Logoff:
                kwin::SetSessionUser(session, L"");
                Control(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGOFF);
                break;
            case Op::Connect:
                kwin::SetConsoleSession(session);
                Control(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT);
                break;
            case Op::SlowHolder:
            case Op::SilentHolder:
            case Op::Decoy: {
                sim::Card* card = Pick(step.a);
                const HolderKind kind = step.op == Op::SlowHolder     ? HolderKind::Slow
                                        : step.op == Op::SilentHolder ? HolderKind::Silent
                                                                      : HolderKind::Decoy;
                size_t ofKind = 0;
                for (const auto& holder : holders_) ofKind += holder.first->kind() == kind;
                if (card == nullptr || ofKind >= kMaxHoldersOfAKind) return {};
                holders_.emplace_back(std::make_unique<Holder>(kind, 1 + step.b % 3, card->InstanceId(),
                                                               card->InterfacePath(0)),
                                      card->InstanceId());
                break;
            }
            case Op::Interrogate:
                Control(SERVICE_CONTROL_INTERROGATE);
                break;
            case Op::ClosePanels:
                panels_.reset();
                panels_ = std::make_unique<sim::ControlPanelProgram>();
                break;
        }
        Count(step.op);
        return {};
    }

    // Handles of the service besides its cards' files and registrations.
    int OtherHandles() const {
        int other = 0;
        for (const auto& handle : kwin::OpenHandlesOf(service_->processId())) {
            other += handle.type != "device file" && handle.type != "device notification";
        }
        return other;
    }

    std::string Answers() {
        const auto controls = kwin::ServiceControls(service_->processId());
        for (; answersChecked_ < controls.size(); ++answersChecked_) {
            const auto& control = controls[answersChecked_];
            ++figures_->controls;
            if (control.answeredAt == 0) return "control " + std::to_string(control.control) + " never answered";
            const ULONGLONG took = control.answeredAt - control.sentAt;
            figures_->longestAnswer = std::max(figures_->longestAnswer, took);
            if (took > kAnswerBoundMs || control.timedOut) {
                return "control " + std::to_string(control.control) + " (event 0x" + std::to_string(control.eventType) +
                       ") answered in " + std::to_string(took) + " ms";
            }
        }
        return {};
    }

    // What must hold between steps.
    std::string Check() {
        std::string late = Answers();
        if (!late.empty()) return late;
        const DWORD pid = service_->processId();
        std::map<std::wstring, int> files, watches;
        for (const auto& handle : kwin::OpenHandlesOf(pid)) {
            if (handle.type == "device file") ++files[handle.deviceInstanceId];
        }
        int interfaceRegistrations = 0;
        for (const auto& registration : kwin::DeviceNotificationRegistrations()) {
            if (registration.processId != pid) continue;
            if (registration.deviceType == DBT_DEVTYP_HANDLE) ++watches[registration.instanceId];
            interfaceRegistrations += registration.deviceType == DBT_DEVTYP_DEVICEINTERFACE;
        }
        if (interfaceRegistrations != 1) return "the service has " + std::to_string(interfaceRegistrations) + " interface registrations";
        std::vector<std::wstring> present;
        for (const sim::Card* card : machine_->Cards()) present.push_back(card->InstanceId());
        for (const auto& id : seen_) {
            const bool here = std::find(present.begin(), present.end(), id) != present.end();
            const int expected = here ? 1 : 0;
            if (files[id] != expected || watches[id] != expected) {
                return "card " + Narrow(id) + (here ? " present" : " gone") + ": the service holds " +
                       std::to_string(files[id]) + " files and " + std::to_string(watches[id]) +
                       " registrations on it";
            }
        }
        const int other = OtherHandles();
        if (other != serviceOtherHandles_) {
            return "the service holds " + std::to_string(other) + " other handles, " +
                   std::to_string(serviceOtherHandles_) + " after its start";
        }
        const auto statuses = service_->Statuses();
        if (statuses.empty() || statuses.back().dwCurrentState != SERVICE_RUNNING) return "the service is not running";
        return {};
    }

    bool verbose_;
    StormFigures* figures_ = nullptr;
    sim::Machine* machine_ = nullptr;
    sim::ServiceProcess* service_ = nullptr;
    std::unique_ptr<sim::ControlPanelProgram> panels_;
    std::vector<std::pair<std::unique_ptr<Holder>, std::wstring>> holders_;
    std::vector<std::wstring> seen_;
    int serviceOtherHandles_ = 0;
    size_t answersChecked_ = 0;
};

std::optional<StormFailure> RunOnce(const std::vector<StormStep>& steps, StormFigures* figures, bool verbose) {
    StormRun run(verbose);
    return run.Run(steps, figures);
}

// The shortest sequence found that still fails: the steps after the failure
// dropped, then chunks and single steps deleted while it still fails.
std::vector<StormStep> Shrink(std::vector<StormStep> steps, size_t failedAt) {
    if (failedAt < steps.size()) steps.resize(failedAt + 1);
    StormFigures scratch;
    for (size_t chunk = steps.size() / 2; chunk >= 1; chunk /= 2) {
        for (size_t start = 0; start < steps.size();) {
            std::vector<StormStep> candidate(steps.begin(), steps.begin() + static_cast<long>(start));
            candidate.insert(candidate.end(), steps.begin() + static_cast<long>(std::min(start + chunk, steps.size())),
                             steps.end());
            if (candidate.size() < steps.size() && RunOnce(candidate, &scratch, false)) {
                steps = candidate;
            } else {
                start += chunk;
            }
        }
        if (chunk == 1) break;
    }
    return steps;
}

struct StormOptions {
    long steps = 0;
    long seed = 1;
    long seeds = 1;
    bool verbose = false;
};

}  // namespace

int RunServiceStorm(const std::vector<std::string>& args) {
    StormOptions options;
    Options parser(args);
    std::string name;
    while (parser.Next(&name)) {
        if (name == "--storm") {
            parser.Integer(&options.steps, 1, 1000000);
        } else if (name == "--seed") {
            parser.Integer(&options.seed, 0, 0x7FFFFFFF);
        } else if (name == "--seeds") {
            parser.Integer(&options.seeds, 1, 1000);
        } else if (name == "--verbose") {
            options.verbose = true;
        } else {
            parser.Fail("the storm takes --storm N, --seed S, --seeds K and --verbose; not " + name);
        }
    }
    if (!parser.Finish("service", PrintServiceUsage)) return kExitUsage;

    bool ok = true;
    long totalSteps = 0;
    for (long k = 0; k < options.seeds; ++k) {
        const unsigned seed = static_cast<unsigned>(options.seed + k);
        const auto steps = Generate(static_cast<size_t>(options.steps), seed);
        StormFigures figures;
        const auto began = Clock::now();
        const auto failure = RunOnce(steps, &figures, options.verbose);
        const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
        totalSteps += options.steps;
        if (!failure) {
            std::printf("seed %u: %ld steps, every rule held (%.1f s):", seed, options.steps, seconds);
            for (const auto& [op, count] : figures.ops) std::printf(" %s %d", op.c_str(), count);
            std::printf("; removals granted %d, refused %d, surprise %d; handles of never-answering windows at a "
                        "granted removal %d; %zu controls, the longest answered in %llu ms\n",
                        figures.granted, figures.refused, figures.surprises, figures.excusedHandles, figures.controls,
                        static_cast<unsigned long long>(figures.longestAnswer));
            std::fflush(stdout);
            continue;
        }
        ok = false;
        std::printf("seed %u: FAILED after step %zu of %ld: %s\n", seed, failure->step + 1, options.steps,
                    failure->what.c_str());
        std::fflush(stdout);
        const auto shortest = Shrink(steps, failure->step);
        StormFigures scratch;
        const auto again = RunOnce(shortest, &scratch, false);
        std::printf("the shortest sequence found that still fails (%zu steps):\n", shortest.size());
        for (size_t i = 0; i < shortest.size(); ++i) std::printf("  %zu: %s\n", i + 1, Describe(shortest[i]).c_str());
        if (again) std::printf("  -> after step %zu: %s\n", again->step + 1, again->what.c_str());
        std::fflush(stdout);
    }
    std::printf("%ld steps over %ld seed%s: %s\n", totalSteps, options.seeds, options.seeds == 1 ? "" : "s",
                ok ? "no rule broken" : "a rule was broken");
    return ok ? kExitOk : kExitFault;
}

}  // namespace korvex::cli
