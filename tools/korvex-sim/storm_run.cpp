#include "tools/korvex-sim/storm_run.h"

#include "platform/posix/kernel_pnp.h"
#include "platform/posix/kernel_sessions.h"
#include "sim/control_panel.h"
#include "sim/machine.h"
#include "sim/marked_window_program.h"
#include "sim/pnp.h"
#include "sim/service_process.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace korvex::storm {
namespace {

// Bounds of seconds pass in a twenty-fifth of that: a stop with a silent
// window costs a fifth of a second, and what the simulation itself costs (a
// process's image loaded, a thread scheduled late) stays far from any bound.
constexpr DWORD kTimeScale = 25;
constexpr size_t kMaxCards = 5;
constexpr size_t kMaxProgramsOfAKind = 3;

const sim::CardModel kModels[] = {sim::CardModel::Pico, sim::CardModel::Six, sim::CardModel::Duo0,
                                  sim::CardModel::Duo, sim::CardModel::Eight};

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

class StormRun {
public:
    StormRun(const Settings& settings, Figures* figures) : settings_(settings), figures_(figures) {}

    std::optional<Failure> Run(const std::vector<Step>& steps) {
        sim::Machine machine;
        machine_ = &machine;
        machine.InstallService(settings_.serviceImage);
        kwin::SetTimeScale(kTimeScale);
        kwin::SetSessions({{0, L"Services", WTSDisconnected},
                           {1, L"Console", WTSActive, L"alice"},
                           {2, L"RDP-Tcp#0", WTSActive, L"bob"},
                           {3, L"RDP-Tcp#1", WTSActive, L"carol"}},
                          1);
        panels_ = std::make_unique<sim::ControlPanelProgram>();
        const kwin::HandleCounts before = kwin::OpenHandles();
        std::optional<Failure> failure;
        {
            sim::ServiceProcess service;
            service_ = &service;
            if (!service.started() || !service.WaitForState(SERVICE_RUNNING, 10000)) {
                failure = Failure{0, "the service did not reach RUNNING"};
            } else {
                serviceOtherHandles_ = OtherHandles();
                ArmFault();
                for (size_t i = 0; i < steps.size() && !failure; ++i) {
                    if (settings_.verbose) std::printf("  %zu: %s\n", i + 1, Describe(steps[i]).c_str());
                    std::string problem = Apply(steps[i]);
                    // The programs the step started put their windows up
                    // before anything else happens, as a user's would.
                    if (problem.empty() && !panels_->WaitSettled()) problem = "a control panel did not come up";
                    if (problem.empty()) problem = Check();
                    if (!problem.empty()) failure = Failure{i, problem};
                }
                kwin::ClearInjectedFailures();
                failure = Stop(steps.size(), std::move(failure));
            }
            service_ = nullptr;
        }
        programs_.clear();
        panels_.reset();
        if (!failure) failure = Leftovers(steps.size(), before);
        machine_ = nullptr;
        return failure;
    }

private:
    void ArmFault() {
        if (settings_.failEvery.empty()) return;
        kwin::CountCallsOfImage(sim::ServiceImagePath());
        kwin::FailEveryCall(settings_.failEvery, ERROR_GEN_FAILURE);
    }

    std::optional<Failure> Stop(size_t end, std::optional<Failure> failure) {
        service_->Control(SERVICE_CONTROL_STOP);
        if (!service_->WaitForExit(60000)) return failure ? failure : Failure{end, "the service did not stop"};
        if (failure) return failure;
        const auto statuses = service_->Statuses();
        if (statuses.empty() || statuses.back().dwCurrentState != SERVICE_STOPPED ||
            statuses.back().dwWin32ExitCode != NO_ERROR) {
            return Failure{end, "the stop did not end in SERVICE_STOPPED, exit code 0"};
        }
        const std::string late = Answers();
        if (!late.empty()) return Failure{end, late};
        return std::nullopt;
    }

    std::optional<Failure> Leftovers(size_t end, const kwin::HandleCounts& before) const {
        if (!kwin::WaitAllProcessesEnded(20000)) return Failure{end, "a process still runs"};
        for (const auto& record : kwin::ProcessHistory()) {
            if (!record.terminated && record.handlesLeftAtExit != 0) {
                return Failure{end, Narrow(record.imagePath) + " left " + std::to_string(record.handlesLeftAtExit) +
                                        " handles open"};
            }
        }
        if (!(kwin::OpenHandles() == before)) return Failure{end, "handles leaked"};
        if (!kwin::DeviceNotificationRegistrations().empty()) return Failure{end, "device notifications left registered"};
        return std::nullopt;
    }

    sim::Card* Pick(unsigned choice) const {
        const auto cards = machine_->Cards();
        return cards.empty() ? nullptr : cards[choice % cards.size()];
    }

    void Control(DWORD control, DWORD eventType = 0) { service_->Control(control, eventType); }

    // Does the step; returns a broken rule seen while doing it.
    std::string Apply(const Step& step) {
        const DWORD session = SessionOf(step.a);
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
                const std::string problem = Remove(step.op, *card);
                if (!problem.empty()) return problem;
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
                const auto kind = step.op == Op::SlowHolder     ? sim::MarkedWindowProgram::Slow
                                  : step.op == Op::SilentHolder ? sim::MarkedWindowProgram::Silent
                                                                : sim::MarkedWindowProgram::Decoy;
                size_t ofKind = 0;
                for (const auto& program : programs_) ofKind += program.program->kind() == kind;
                if (card == nullptr || ofKind >= kMaxProgramsOfAKind) return {};
                programs_.push_back({std::make_unique<sim::MarkedWindowProgram>(kind, SessionOf(step.b),
                                                                                card->InstanceId(),
                                                                                card->InterfacePath(0)),
                                     card->InstanceId()});
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
        ++figures_->ops[OpName(step.op)];
        return {};
    }

    std::string Remove(Op op, sim::Card& card) {
        const std::wstring id = card.InstanceId();
        int excused = 0;
        for (const auto& program : programs_) {
            excused += program.cardId == id && program.program->kind() == sim::MarkedWindowProgram::Silent &&
                       program.program->HoldsCard();
        }
        if (op == Op::Surprise) {
            sim::SurpriseRemoval(*machine_, card);
            ++figures_->surprises;
            EndProgramsOf(id);
            return {};
        }
        const kwin::RemovalResult result = sim::RequestRemoval(*machine_, card, op == Op::Refuse);
        if (op == Op::Refuse) {
            ++figures_->refused;
            return result.removed ? "a refused removal removed the card" : "";
        }
        ++figures_->granted;
        if (!result.removed) return "a granted removal did not remove the card";
        if (result.handlesStillOpen > excused) {
            return "card " + Narrow(id) + " removed with " + std::to_string(result.handlesStillOpen) +
                   " handles open, " + std::to_string(excused) + " of them a program's whose window never answers";
        }
        figures_->excusedHandles += result.handlesStillOpen;
        EndProgramsOf(id);
        return {};
    }

    // The user closes the programs that marked a window for a card gone, so
    // that later steps can start others.
    void EndProgramsOf(const std::wstring& id) {
        std::erase_if(programs_, [&](const MarkedWindow& program) { return program.cardId == id; });
    }

    // Handles of the service besides its cards' files and registrations.
    int OtherHandles() const {
        int other = 0;
        for (const auto& handle : kwin::OpenHandlesOf(service_->processId())) {
            other += handle.type != "device file" && handle.type != "device notification";
        }
        return other;
    }

    // The controls answered since the last look; a broken bound.
    std::string Answers() {
        const auto controls = kwin::ServiceControls(service_->processId());
        for (; answersChecked_ < controls.size(); ++answersChecked_) {
            const auto& control = controls[answersChecked_];
            ++figures_->controls;
            if (control.answeredAt == 0) return "control " + std::to_string(control.control) + " never answered";
            const ULONGLONG took = control.answeredAt - control.sentAt;
            figures_->longestAnswer = std::max(figures_->longestAnswer, took);
            if (control.timedOut) {
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
        if (interfaceRegistrations != 1) {
            return "the service has " + std::to_string(interfaceRegistrations) + " interface registrations";
        }
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

    struct MarkedWindow {
        std::unique_ptr<sim::MarkedWindowProgram> program;
        std::wstring cardId;
    };

    const Settings& settings_;
    Figures* figures_;
    sim::Machine* machine_ = nullptr;
    sim::ServiceProcess* service_ = nullptr;
    std::unique_ptr<sim::ControlPanelProgram> panels_;
    std::vector<MarkedWindow> programs_;
    std::vector<std::wstring> seen_;
    int serviceOtherHandles_ = 0;
    size_t answersChecked_ = 0;
};

}  // namespace

std::optional<Failure> Run(const std::vector<Step>& steps, const Settings& settings, Figures* figures) {
    StormRun run(settings, figures);
    return run.Run(steps);
}

}  // namespace korvex::storm
