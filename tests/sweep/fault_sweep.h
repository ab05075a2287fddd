// The fault sweep: a scenario is run once clean, counting every call it makes
// to each stand-in function that can fail, and then once for every (function,
// n) pair with that call failing with the error Windows would plausibly give.
// Every run happens in a child process of its own, so that a crash, a
// sanitizer report or a hang is recorded as the outcome of that one point and
// the sweep goes on; a run that outlives its time is killed and recorded as a
// hang.
//
// A scenario builds a fresh simulated machine, calls Begin() where the part
// under test starts (counting and the armed failure start there), runs, calls
// End(), and then checks its invariants with Check(). The same machinery
// serves any deliverable's scenarios.
#pragma once

#include "platform/win32.h"

#include <functional>
#include <string>
#include <vector>

namespace sweep {

// One failure point: the n-th call (from Begin) of the function fails.
struct Point {
    std::string function;
    int call = 0;
    DWORD error = 0;
};

// What a scenario sees of its run. Lives in the child process.
class Run {
public:
    explicit Run(const Point* point) : point_(point) {}

    // The part under test starts: call counting starts, the point is armed.
    void Begin();
    // It ends: counting stops, a failure that has not come is disarmed.
    void End();
    // A failure is armed in this run (false in the counting run, where every
    // call must succeed).
    bool armed() const { return point_ != nullptr; }
    const Point* point() const { return point_; }
    // Records a broken invariant when `holds` is false.
    bool Check(bool holds, const std::string& what);

    const std::vector<std::string>& problems() const { return problems_; }
    bool fired() const { return fired_; }

private:
    const Point* point_;
    std::vector<std::string> problems_;
    bool began_ = false;
    bool ended_ = false;
    bool fired_ = false;
};

struct Scenario {
    std::string name;
    std::string description;  // one line, for the report
    std::function<void(Run&)> body;
};

enum class Outcome {
    Survived,   // every invariant held
    Broken,     // an invariant did not hold
    Crashed,    // the child died of a signal or exited without a result
    Sanitizer,  // a sanitizer reported
    Hung,       // the run outlived its time and was killed
};
const char* OutcomeName(Outcome outcome);

struct RunResult {
    Outcome outcome = Outcome::Crashed;
    bool fired = false;           // the armed call came (and failed)
    std::string detail;           // the broken invariants, the signal, or the report's first lines
    std::vector<std::pair<std::string, int>> calls;  // counted calls by function (counting run)
    double milliseconds = 0;
};

struct Options {
    DWORD runTimeoutMs = 30000;       // per run, the counting run included
    std::vector<std::string> only;    // functions to inject (empty: all that are injected)
    bool verbose = false;             // a line for every point, not only for those that did not survive
};

struct PointResult {
    Point point;
    RunResult result;
};

struct ScenarioReport {
    std::string name;
    RunResult clean;  // the counting run
    std::vector<PointResult> points;
    std::vector<std::pair<std::string, int>> skipped;  // release calls: counted, not injected
    int survived() const;
    int fired() const;
    bool ok() const;
};

// The error an injected failure of the function reports.
DWORD PlausibleError(const std::string& function);
// Calls that give back what the caller holds (a handle, a module reference, a
// timer period): Windows does not fail them on a valid argument, and a
// stand-in call failed there would leak by construction. Counted, not
// injected.
bool IsReleaseCall(const std::string& function);

// Runs the scenario once in a child process, with the point armed when given.
RunResult RunIsolated(const Scenario& scenario, const Point* point, const Options& options);

// The counting run and one run per point; prints the points that did not
// survive (every point when verbose) to `log` as it goes.
ScenarioReport Sweep(const Scenario& scenario, const Options& options, FILE* log);

// "name: N failure points injected (F fired), N survived; functions: A×3 B×1 ..."
std::string SummaryLine(const ScenarioReport& report);

}  // namespace sweep
