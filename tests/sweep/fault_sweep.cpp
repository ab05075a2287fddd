#include "tests/sweep/fault_sweep.h"

#include "platform/posix/kernel.h"
#include "sim/child_run.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

namespace sweep {
namespace {

constexpr DWORD kErrorNoSystemResources = 1450;
constexpr DWORD kErrorNoSuchDevinst = 0xE000020B;
constexpr DWORD kErrorInvalidTaskName = 1550;

std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

// The child's side: runs the scenario and says what it found.
std::string RunScenario(const Scenario& scenario, const Point* point) {
    Run run(point);
    scenario.body(run);
    run.End();  // in case the scenario returned early
    std::ostringstream result;
    result << "fired " << (run.fired() ? 1 : 0) << '\n';
    for (const std::string& problem : run.problems()) result << "problem " << OneLine(problem) << '\n';
    for (const kwin::CallCount& count : kwin::CountedCalls()) {
        result << "call " << count.function << ' ' << count.calls << '\n';
    }
    return result.str();
}

void Parse(const std::string& text, RunResult* result) {
    std::istringstream lines(text);
    std::string line;
    std::vector<std::string> problems;
    while (std::getline(lines, line)) {
        if (line.rfind("fired ", 0) == 0) {
            result->fired = line == "fired 1";
        } else if (line.rfind("problem ", 0) == 0) {
            problems.push_back(line.substr(8));
        } else if (line.rfind("call ", 0) == 0) {
            const size_t space = line.rfind(' ');
            result->calls.emplace_back(line.substr(5, space - 5), std::atoi(line.c_str() + space + 1));
        }
    }
    for (size_t i = 0; i < problems.size(); ++i) result->detail += (i ? "; " : "") + problems[i];
    if (!problems.empty()) result->outcome = Outcome::Broken;
}

// Small codes in decimal, as Windows documents them; the SetupAPI ones in hex.
std::string ErrorText(DWORD error) {
    char text[16];
    std::snprintf(text, sizeof text, error > 0xFFFF ? "0x%08lX" : "%lu", static_cast<unsigned long>(error));
    return text;
}

// Whether the child lived to say what it saw (and so whether its point came).
bool Reported(const RunResult& result) {
    return result.outcome == Outcome::Survived || result.outcome == Outcome::Broken;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Survived: return "survived";
        case Outcome::Broken: return "invariant broken";
        case Outcome::Crashed: return "crashed";
        case Outcome::Sanitizer: return "sanitizer report";
        case Outcome::Hung: return "hung";
    }
    return "?";
}

void Run::Begin() {
    if (began_) return;
    began_ = true;
    kwin::ClearInjectedFailures();
    kwin::StartCountingCalls();
    if (point_ != nullptr) kwin::FailCall(point_->function, point_->call, point_->error);
}

void Run::End() {
    if (!began_ || ended_) return;
    ended_ = true;
    fired_ = point_ != nullptr && kwin::PendingInjectedFailures() == 0;
    kwin::ClearInjectedFailures();
    kwin::StopCountingCalls();
}

bool Run::Check(bool holds, const std::string& what) {
    if (!holds) problems_.push_back(what);
    return holds;
}

DWORD PlausibleError(const std::string& function) {
    static const std::map<std::string, DWORD> kErrors = {
        // Creating kernel objects: the system is out of them.
        {"CreateEventW", kErrorNoSystemResources},
        {"CreateThread", ERROR_NOT_ENOUGH_MEMORY},
        // Calls on a handle fail only for a handle that is not (or no longer) valid.
        {"SetEvent", ERROR_INVALID_HANDLE},
        {"ResetEvent", ERROR_INVALID_HANDLE},
        {"WaitForSingleObject", ERROR_INVALID_HANDLE},
        {"WaitForMultipleObjects", ERROR_INVALID_HANDLE},
        {"ResumeThread", ERROR_INVALID_HANDLE},
        {"GetExitCodeThread", ERROR_INVALID_HANDLE},
        {"SetThreadPriority", ERROR_ACCESS_DENIED},
        {"TerminateThread", ERROR_ACCESS_DENIED},
        // Device enumeration: the device went away in between.
        {"SetupDiGetClassDevsW", ERROR_NOT_ENOUGH_MEMORY},
        {"SetupDiEnumDeviceInfo", ERROR_NO_MORE_ITEMS},
        {"SetupDiEnumDeviceInterfaces", ERROR_NO_MORE_ITEMS},
        {"SetupDiGetDeviceRegistryPropertyW", kErrorNoSuchDevinst},
        {"SetupDiGetDeviceInstanceIdW", kErrorNoSuchDevinst},
        {"SetupDiGetDeviceInterfaceDetailW", kErrorNoSuchDevinst},
        // The card: held by another program, or not answering.
        {"CreateFileW", ERROR_ACCESS_DENIED},
        {"DeviceIoControl", ERROR_GEN_FAILURE},
        // Modules.
        {"LoadLibraryW", ERROR_MOD_NOT_FOUND},
        {"GetModuleHandleW", ERROR_MOD_NOT_FOUND},
        {"GetModuleHandleExW", ERROR_MOD_NOT_FOUND},
        {"GetProcAddress", ERROR_PROC_NOT_FOUND},
        {"AvSetMmThreadCharacteristicsW", kErrorInvalidTaskName},
        // The heap is exhausted: a null result, no error code.
        {"operator new", 0},
    };
    const auto found = kErrors.find(function);
    return found != kErrors.end() ? found->second : ERROR_NOT_ENOUGH_MEMORY;
}

bool IsReleaseCall(const std::string& function) {
    static const char* const kReleases[] = {
        "CloseHandle",         "FreeLibrary",           "timeEndPeriod",          "AvRevertMmThreadCharacteristics",
        "SetupDiDestroyDeviceInfoList", "DeregisterEventSource", "UnregisterDeviceNotification",
        "CloseWindowStation",  "CloseDesktop",
    };
    for (const char* release : kReleases) {
        if (function == release) return true;
    }
    return false;
}

RunResult RunIsolated(const Scenario& scenario, const Point* point, const Options& options) {
    const sim::ChildRun child = sim::RunInChild([&] { return RunScenario(scenario, point); }, options.runTimeoutMs);
    RunResult result;
    result.milliseconds = child.milliseconds;
    switch (child.ending) {
        case sim::ChildEnding::Finished:
            result.outcome = Outcome::Survived;
            Parse(child.report, &result);
            break;
        case sim::ChildEnding::Hung: result.outcome = Outcome::Hung; break;
        case sim::ChildEnding::Sanitizer: result.outcome = Outcome::Sanitizer; break;
        case sim::ChildEnding::Crashed: result.outcome = Outcome::Crashed; break;
    }
    if (child.ending != sim::ChildEnding::Finished) result.detail = OneLine(child.detail);
    return result;
}

int ScenarioReport::survived() const {
    int count = 0;
    for (const PointResult& point : points) count += point.result.outcome == Outcome::Survived;
    return count;
}

int ScenarioReport::fired() const {
    int count = 0;
    for (const PointResult& point : points) count += point.result.fired;
    return count;
}

bool ScenarioReport::ok() const {
    return clean.outcome == Outcome::Survived && survived() == static_cast<int>(points.size());
}

ScenarioReport Sweep(const Scenario& scenario, const Options& options, FILE* log) {
    ScenarioReport report;
    report.name = scenario.name;
    report.clean = RunIsolated(scenario, nullptr, options);
    if (report.clean.outcome != Outcome::Survived) {
        if (log) {
            std::fprintf(log, "  %s: the run without failures did not survive: %s: %s\n", scenario.name.c_str(),
                         OutcomeName(report.clean.outcome), report.clean.detail.c_str());
        }
        return report;
    }
    for (const auto& [function, calls] : report.clean.calls) {
        if (IsReleaseCall(function)) {
            report.skipped.emplace_back(function, calls);
            continue;
        }
        if (!options.only.empty() && std::find(options.only.begin(), options.only.end(), function) == options.only.end()) {
            continue;
        }
        for (int n = 1; n <= calls; ++n) {
            PointResult point{{function, n, PlausibleError(function)}, {}};
            point.result = RunIsolated(scenario, &point.point, options);
            report.points.push_back(point);
            const bool survived = point.result.outcome == Outcome::Survived;
            if (log && (!survived || options.verbose)) {
                std::fprintf(log, "  %s: %s call %d (error %s)%s: %s%s%s (%.0f ms)\n", scenario.name.c_str(),
                             function.c_str(), n, ErrorText(point.point.error).c_str(),
                             Reported(point.result) && !point.result.fired ? ", not reached" : "",
                             OutcomeName(point.result.outcome),
                             point.result.detail.empty() ? "" : ": ", point.result.detail.c_str(),
                             point.result.milliseconds);
                std::fflush(log);
            }
        }
    }
    return report;
}

std::string SummaryLine(const ScenarioReport& report) {
    std::string line = report.name + ": ";
    if (report.clean.outcome != Outcome::Survived) {
        return line + "the run without failures did not survive (" + OutcomeName(report.clean.outcome) + ": " +
               report.clean.detail + ")";
    }
    std::map<std::string, int> perFunction;
    std::vector<std::string> order;
    for (const PointResult& point : report.points) {
        if (perFunction[point.point.function]++ == 0) order.push_back(point.point.function);
    }
    line += std::to_string(report.points.size()) + " failure points injected (" + std::to_string(report.fired()) +
            " reached), " + std::to_string(report.survived()) + " survived; " + std::to_string(order.size()) +
            " functions:";
    for (const std::string& function : order) line += " " + function + "×" + std::to_string(perFunction[function]);
    if (!report.skipped.empty()) {
        line += "; release calls counted, not injected:";
        for (const auto& [function, calls] : report.skipped) line += " " + function + "×" + std::to_string(calls);
    }
    char cost[64];
    std::snprintf(cost, sizeof cost, "; clean run %.0f ms", report.clean.milliseconds);
    return line + cost;
}

}  // namespace sweep
