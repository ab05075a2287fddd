// korvex-sim service: the service program on a simulated machine, driven by
// a script of steps that a person gives on the command line; after each step
// the new status reports, the device list as the machine sees it, the new
// event-log entries rendered as an event viewer shows them, and the processes
// the step started.
#include "platform/posix/kernel.h"
#include "service_message_source.h"
#include "sim/control_panel.h"
#include "sim/machine.h"
#include "sim/marked_window_program.h"
#include "sim/message_table.h"
#include "sim/pnp.h"
#include "sim/service_process.h"
#include "tools/korvex-sim/host_cli.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvex::cli {
namespace {

struct ServiceOptions {
    int cards = 1;
    sim::CardModel model = sim::CardModel::Six;
    sim::Language language = sim::Language::English;
    bool console = true;
    std::vector<std::string> steps;
};

struct Step {
    const char* name;
    const char* help;
};

const Step kSteps[] = {
    {"interrogate", "SERVICE_CONTROL_INTERROGATE"},
    {"stop", "SERVICE_CONTROL_STOP (the script ends when the service has stopped)"},
    {"pause", "SERVICE_CONTROL_PAUSE (not handled: answered 120)"},
    {"continue", "SERVICE_CONTROL_CONTINUE (not handled)"},
    {"shutdown", "SERVICE_CONTROL_SHUTDOWN (not handled)"},
    {"paramchange", "SERVICE_CONTROL_PARAMCHANGE (not handled)"},
    {"control:N", "any control code N"},
    {"arrive", "a new card of the model arrives (one interface event per interface)"},
    {"arrive-slow", "a new card whose interfaces are enabled one by one, render and capture first"},
    {"arrive-locked", "a new card that another program holds at its first interface's arrival"},
    {"remove", "a removal request for the first card, granted"},
    {"refuse", "a removal request for the first card, refused by another program"},
    {"surprise", "the first card goes without warning"},
    {"stop-remove", "stop, and a removal request for the first card once its shut-down pass begins"},
    {"other", "another vendor's audio device arrives and goes again"},
    {"logon", "a user logs on (session change WTS_SESSION_LOGON)"},
    {"connect", "a user connects to the console (WTS_CONSOLE_CONNECT)"},
    {"silent", "a program in session 2 opens the first card and marks a window that never answers"},
    {"decoy", "a program on the console marks a window with the first card's ID; it answers, holds nothing"},
};

// The service manager's bound on a control handler, and the service's own.
constexpr ULONGLONG kAnswerBoundMs = 20000;

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

const char* StateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED: return "STOPPED";
        case SERVICE_START_PENDING: return "START_PENDING";
        case SERVICE_STOP_PENDING: return "STOP_PENDING";
        case SERVICE_RUNNING: return "RUNNING";
        case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
        case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
        case SERVICE_PAUSED: return "PAUSED";
        default: return "?";
    }
}

// What the run has printed so far, so each step shows only what is new.
class Reporter {
public:
    Reporter(const sim::MessageTable& messages, sim::Language language) : messages_(messages), language_(language) {}

    void Statuses(const sim::ServiceProcess& service) {
        const auto statuses = service.Statuses();
        for (; statusesShown_ < statuses.size(); ++statusesShown_) {
            const SERVICE_STATUS& s = statuses[statusesShown_];
            if (!headerShown_) {
                printf("  %-14s %9s %9s %9s %10s\n", "status", "exit code", "wait hint", "accepted", "checkpoint");
                headerShown_ = true;
            }
            printf("  %-14s %9u %9u %9u %10u\n", StateName(s.dwCurrentState), s.dwWin32ExitCode, s.dwWaitHint,
                   s.dwControlsAccepted, s.dwCheckPoint);
        }
    }

    void Events() {
        const auto entries = kwin::EventLog();
        for (; eventsShown_ < entries.size(); ++eventsShown_) {
            const auto& entry = entries[eventsShown_];
            const char* type = entry.type == EVENTLOG_ERROR_TYPE         ? "Error"
                               : entry.type == EVENTLOG_INFORMATION_TYPE ? "Information"
                                                                         : "Other";
            std::string text;
            try {
                text = Narrow(messages_.Render(entry.eventId, language_, entry.strings));
                while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            } catch (const std::exception&) {
                text = "(no text for this event in the message table)";
            }
            printf("  event %-3u %-11s %s: %s\n", entry.eventId & 0xFFFFu, type, Narrow(entry.source).c_str(),
                   text.c_str());
        }
    }

    void Processes(DWORD serviceProcessId) {
        const auto processes = kwin::ProcessHistory();
        for (const auto& process : processes) {
            if (process.processId == serviceProcessId || process.parentProcessId == 0) continue;
            bool known = false;
            for (DWORD id : processesShown_) known |= id == process.processId;
            if (known) continue;
            processesShown_.push_back(process.processId);
            const std::wstring image = process.imagePath.substr(process.imagePath.find_last_of(L'\\') + 1);
            printf("  started %-11s in session %u on \"%s\" as %s (%zu privilege%s): %s", Narrow(image).c_str(),
                   process.sessionId, Narrow(process.desktop).c_str(), Narrow(process.user).c_str(),
                   process.privileges.size(), process.privileges.size() == 1 ? "" : "s",
                   Narrow(process.commandLine).c_str());
            if (process.finished) {
                printf("  (exit code %u)\n", process.exitCode);
            } else {
                printf("  (running)\n");
            }
        }
    }

    // Each card with the handles the service holds on it.
    static void Devices(const sim::Machine& machine, DWORD serviceProcessId, const std::vector<std::wstring>& ids) {
        const auto handles = kwin::OpenHandlesOf(serviceProcessId);
        for (const auto& id : ids) {
            bool present = false;
            for (const sim::Card* card : machine.Cards()) present |= card->InstanceId() == id;
            int files = 0;
            int notifications = 0;
            for (const auto& handle : handles) {
                if (handle.deviceInstanceId != id) continue;
                files += handle.type == "device file";
                notifications += handle.type == "device notification";
            }
            printf("  card %s: %s; service's handle %s; handle notification %s\n", Narrow(id).c_str(),
                   present ? "present" : "removed", files ? "open" : "closed",
                   notifications ? "registered" : "none");
        }
    }

    // How long each new control took to be answered; false when one took
    // longer than the bound.
    bool Answers(DWORD serviceProcessId) {
        bool inBound = true;
        const auto controls = kwin::ServiceControls(serviceProcessId);
        for (; controlsShown_ < controls.size(); ++controlsShown_) {
            const auto& control = controls[controlsShown_];
            const ULONGLONG took = control.answeredAt - control.sentAt;
            const bool late = took > kAnswerBoundMs || control.timedOut;
            printf("  control %u (event 0x%x) answered in %llu ms%s\n", control.control, control.eventType,
                   static_cast<unsigned long long>(took), late ? ": LATER THAN THE BOUND" : "");
            inBound &= !late;
        }
        return inBound;
    }

private:
    size_t controlsShown_ = 0;
    const sim::MessageTable& messages_;
    sim::Language language_;
    size_t statusesShown_ = 0;
    size_t eventsShown_ = 0;
    bool headerShown_ = false;
    std::vector<DWORD> processesShown_;
};

bool ParseServiceOptions(const std::vector<std::string>& args, ServiceOptions* options) {
    Options parser(args);
    std::string name;
    while (parser.Next(&name)) {
        if (name == "--cards") {
            long cards = 0;
            if (parser.Integer(&cards, 0, 8)) options->cards = static_cast<int>(cards);
        } else if (name == "--model") {
            parser.Model(&options->model);
        } else if (name == "--lang") {
            std::string tag;
            if (parser.Value(&tag)) {
                if (auto language = sim::LanguageFromTag(tag)) {
                    options->language = *language;
                } else {
                    parser.Fail("--lang takes en, zh-Hans or zh-Hant");
                }
            }
        } else if (name == "--no-console") {
            options->console = false;
        } else if (name.rfind("--", 0) == 0) {
            parser.Fail("unknown option " + name);
        } else {
            bool known = name.rfind("control:", 0) == 0;
            for (const Step& step : kSteps) known |= name == step.name;
            if (!known) parser.Fail("unknown step " + name);
            options->steps.push_back(name);
        }
    }
    return parser.Finish("service", PrintServiceUsage);
}

// Waits (at most 10 s) until the service has reported stop-pending `count` times.
bool WaitForStopPendingReports(const sim::ServiceProcess& service, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        size_t reported = 0;
        for (const auto& status : service.Statuses()) reported += status.dwCurrentState == SERVICE_STOP_PENDING;
        if (reported >= count) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::optional<DWORD> ControlOf(const std::string& step) {
    if (step == "interrogate") return SERVICE_CONTROL_INTERROGATE;
    if (step == "stop") return SERVICE_CONTROL_STOP;
    if (step == "pause") return SERVICE_CONTROL_PAUSE;
    if (step == "continue") return SERVICE_CONTROL_CONTINUE;
    if (step == "shutdown") return SERVICE_CONTROL_SHUTDOWN;
    if (step == "paramchange") return SERVICE_CONTROL_PARAMCHANGE;
    if (step.rfind("control:", 0) == 0) return static_cast<DWORD>(std::strtoul(step.c_str() + 8, nullptr, 0));
    return std::nullopt;
}

}  // namespace

void PrintServiceUsage(FILE* out) {
    fprintf(out,
            "Usage: korvex-sim service [options] [step...]\n"
            "\n"
            "Starts the service KorvexS on a simulated machine as the service control\n"
            "manager does, waits until it runs, applies the steps in order, and prints\n"
            "after each one the new status reports, the cards with the handles the\n"
            "service holds on them, the new event-log entries and the processes the\n"
            "step started. Without steps: interrogate, stop. A script that does not\n"
            "stop the service stops it at the end.\n"
            "\n"
            "Options:\n"
            "  --cards N       cards present at start-up (0 to 8, default 1)\n"
            "  --model NAME    their model: pico, six, duo or eight (default six)\n"
            "  --lang TAG      event-log language: en, zh-Hans or zh-Hant (default en)\n"
            "  --no-console    no session attached to the console\n"
            "\n"
            "The storm: korvex-sim service --storm N [--seed S] [--seeds K] [--fail-every FUNCTION]\n"
            "                              [--verbose]\n"
            "  N random steps (cards of every model arriving, whole or interface by\n"
            "  interface, and leaving: granted, refused, surprise; logons, logoffs and\n"
            "  console connects; control panels that answer slowly or never; decoy\n"
            "  windows; interrogations), what must hold checked after each, then a stop;\n"
            "  for seeds S to S+K-1 (default 1, one seed), each in a process of its own.\n"
            "  A failing seed prints the shortest sequence found that still fails.\n"
            "  --fail-every FUNCTION makes every call of that Win32 function by the\n"
            "  service fail during the steps: a fault for the storm to catch.\n"
            "\n"
            "Steps:\n");
    for (const Step& step : kSteps) fprintf(out, "  %-12s %s\n", step.name, step.help);
}

int RunService(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            PrintServiceUsage(stdout);
            return kExitOk;
        }
    }
    for (const std::string& arg : args) {
        if (arg == "--storm" || arg.rfind("--storm=", 0) == 0) return RunServiceStorm(args);
    }
    ServiceOptions options;
    if (!ParseServiceOptions(args, &options)) return kExitUsage;
    if (options.steps.empty()) options.steps = {"interrogate", "stop"};

    const sim::MessageTable messages =
        sim::MessageTable::Parse(std::string_view(kServiceMessageSource, kServiceMessageSourceSize));
    sim::Machine machine;
    machine.InstallService(KORVEXS_IMAGE);
    // The services' session and a user at the console, whose control panels
    // hold the cards and let go of them when asked.
    kwin::SetSessions({{0, L"Services", WTSDisconnected},
                       {1, L"Console", WTSActive, L"alice"},
                       {2, L"RDP-Tcp#0", WTSActive, L"bob"}},
                      options.console ? 1 : kwin::kNoSession);
    std::unique_ptr<sim::MarkedWindowProgram> silent;  // session 2, holds the card, never answers
    std::unique_ptr<sim::MarkedWindowProgram> decoy;   // the console, holds nothing
    bool fault = false;
    sim::ControlPanelProgram panels;
    std::vector<std::wstring> cardIds;
    for (int i = 0; i < options.cards; ++i) cardIds.push_back(machine.AddCard({.model = options.model}).InstanceId());

    Reporter report(messages, options.language);
    printf("start: the service control manager starts KorvexS (%d card%s present)\n", options.cards,
           options.cards == 1 ? "" : "s");
    sim::ServiceProcess service;
    if (!service.started() || !service.WaitForState(SERVICE_RUNNING, 10000)) {
        report.Statuses(service);
        report.Events();
        fprintf(stderr, "korvex-sim: the service did not reach RUNNING\n");
        service.Control(SERVICE_CONTROL_STOP);
        return kExitFault;
    }
    auto show = [&] {
        report.Statuses(service);
        Reporter::Devices(machine, service.processId(), cardIds);
        report.Events();
        report.Processes(service.processId());
        fault |= !report.Answers(service.processId());
    };
    show();

    bool stopped = false;
    for (const std::string& step : options.steps) {
        if (stopped) break;
        printf("\n%s\n", step.c_str());
        if (auto control = ControlOf(step)) {
            const DWORD answer = service.Control(*control);
            printf("  answer %u\n", answer);
            if (*control == SERVICE_CONTROL_STOP) {
                service.WaitForExit();
                stopped = true;
            }
        } else if (step == "arrive") {
            const std::wstring id = machine.AddCard({.model = options.model}).InstanceId();
            cardIds.push_back(id);
            printf("  %d interface events delivered\n", kwin::AnnounceDeviceArrival(id));
        } else if (step == "arrive-slow" || step == "arrive-locked") {
            const bool locked = step == "arrive-locked";
            sim::CardConfig config{.model = options.model, .streamingInterfaces = !locked};
            if (locked) config.openError = ERROR_SHARING_VIOLATION;
            sim::Card& card = sim::ArriveCardInterfaceByInterface(machine, config, [&](size_t k) {
                if (k == 1 && locked) {
                    machine.Cards().back()->SetOpenError(ERROR_SUCCESS);
                    printf("  the other program lets go of the card\n");
                }
                printf("  interface %zu announced\n", k + 1);
            });
            cardIds.push_back(card.InstanceId());
        } else if (step == "stop-remove") {
            printf("  answer %u\n", service.Control(SERVICE_CONTROL_STOP));
            // The stop's own report, then the one before the first card's pass.
            if (!machine.Cards().empty() && WaitForStopPendingReports(service, 2)) {
                const kwin::RemovalResult result =
                    kwin::RequestDeviceRemoval(machine.Cards().front()->InstanceId(), false);
                if (result.removed) machine.RemoveCard(*machine.Cards().front());
                if (result.removed && result.handlesStillOpen > 0) {
                    printf("  FAULT: the card was removed while the service or a program that answers held it\n");
                    fault = true;
                }
                printf("  card %s; %d handle%s still open on it\n", result.removed ? "removed" : "stays",
                       result.handlesStillOpen, result.handlesStillOpen == 1 ? "" : "s");
            }
            service.WaitForExit();
            stopped = true;
        } else if (step == "remove" || step == "refuse" || step == "surprise") {
            if (machine.Cards().empty()) {
                printf("  no card present\n");
            } else {
                const std::wstring id = machine.Cards().front()->InstanceId();
                const kwin::RemovalResult result = step == "surprise"
                                                       ? kwin::SurpriseRemoveDevice(id)
                                                       : kwin::RequestDeviceRemoval(id, step == "refuse");
                if (result.removed) machine.RemoveCard(*machine.Cards().front());
                printf("  card %s; %d handle%s still open on it\n", result.removed ? "removed" : "stays",
                       result.handlesStillOpen, result.handlesStillOpen == 1 ? "" : "s");
                // Only a program whose window never answers may still hold a removed card.
                const int excused = silent && silent->HoldsCard() && id == cardIds.front() ? 1 : 0;
                if (result.removed && result.handlesStillOpen > excused) {
                    printf("  FAULT: the card was removed while the service or a program that answers held it\n");
                    fault = true;
                } else if (result.removed && excused && result.handlesStillOpen > 0) {
                    printf("  the handle left is the silent program's, whose window never answers (the one exception)\n");
                }
            }
        } else if (step == "other") {
            const std::wstring id = machine.AddOtherDevice({L"PCI\\VEN_8086&DEV_2668&SUBSYS_01271028"});
            printf("  %d interface events delivered for %s\n", kwin::AnnounceDeviceArrival(id), Narrow(id).c_str());
            kwin::AnnounceDeviceRemoval(id);
            machine.RemoveDevice(id);
        } else if (step == "silent" || step == "decoy") {
            if (cardIds.empty()) {
                printf("  no card\n");
            } else if (step == "silent" && !silent) {
                silent = std::make_unique<sim::MarkedWindowProgram>(sim::MarkedWindowProgram::Silent, 2, cardIds.front(),
                                                                     machine.card(0).InterfacePath(0));
                printf("  a window in session 2 marked with %s; its thread never answers\n",
                       Narrow(cardIds.front()).c_str());
            } else if (step == "decoy" && !decoy) {
                decoy = std::make_unique<sim::MarkedWindowProgram>(sim::MarkedWindowProgram::Decoy, 1, cardIds.front());
                printf("  a window on the console marked with %s\n", Narrow(cardIds.front()).c_str());
            }
        } else if (step == "logon" || step == "connect") {
            const DWORD answer =
                service.Control(SERVICE_CONTROL_SESSIONCHANGE, step == "logon" ? WTS_SESSION_LOGON : WTS_CONSOLE_CONNECT);
            printf("  answer %u\n", answer);
        }
        show();
    }
    if (!stopped) {
        printf("\nstop (end of the script)\n");
        service.Control(SERVICE_CONTROL_STOP);
        service.WaitForExit();
        show();
    }
    printf("\nexit code %u; handles the service left open: %d\n", service.ExitCode(),
           service.Record().handlesLeftAtExit);
    for (const auto& panel : panels.Panels()) {
        printf("control panel for %s in session %u: card %s, \"ForceClose\" %d time%s%s\n",
               Narrow(panel.commandLine).c_str(), panel.sessionId, panel.cardOpened ? "opened" : "not opened",
               panel.forceCloseMessages, panel.forceCloseMessages == 1 ? "" : "s",
               panel.cardClosedOnForceClose ? ", closed its handle when asked" : "");
    }
    if (decoy) {
        const int asked = decoy->Asked();
        printf("decoy window: \"ForceClose\" %d time%s\n", asked, asked == 1 ? "" : "s");
        decoy.reset();
    }
    silent.reset();
    return service.Record().handlesLeftAtExit == 0 && !fault ? kExitOk : kExitFault;
}

}  // namespace korvex::cli
