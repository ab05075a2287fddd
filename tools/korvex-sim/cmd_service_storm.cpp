// korvex-sim service --storm N --seed S: the service driven by a random,
// valid sequence of device events and session changes (storm_steps.h), with
// what must hold checked after every step (storm_run.h), each seed's run in
// a process of its own. A failing sequence is shrunk and printed.
#include "tools/korvex-sim/host_cli.h"
#include "tools/korvex-sim/storm_isolated.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace korvex::cli {
namespace {

using Clock = std::chrono::steady_clock;

// A run's bound in real time: far beyond what a step costs (a few
// milliseconds; a stop with a silent window, a fifth of a second).
unsigned BoundSeconds(size_t steps) { return 120 + static_cast<unsigned>(steps / 10); }

struct StormOptions {
    long steps = 0;
    long seed = 1;
    long seeds = 1;
    bool verbose = false;
    std::string failEvery;
};

std::string Where(const storm::Failure& failure, size_t steps) {
    if (failure.step >= steps) return "at the end";
    return "after step " + std::to_string(failure.step + 1) + " of " + std::to_string(steps);
}

void PrintFigures(const storm::Figures& figures) {
    for (const auto& [op, count] : figures.ops) std::printf(" %s %d", op.c_str(), count);
    std::printf("; removals granted %d, refused %d, surprise %d; handles of never-answering windows at a "
                "granted removal %d; %d controls, the longest answered in %llu ms\n",
                figures.granted, figures.refused, figures.surprises, figures.excusedHandles, figures.controls,
                static_cast<unsigned long long>(figures.longestAnswer));
}

// Shrinks a failing seed's steps and prints the shortest sequence found.
void PrintShortest(const std::vector<storm::Step>& steps, const storm::Failure& failure,
                   const storm::Settings& settings) {
    storm::Settings quiet = settings;
    quiet.verbose = false;
    int runs = 0;
    // What the kept sequence broke: each candidate kept is the last one that failed.
    storm::Failure shown = failure;
    const auto stillFails = [&](const std::vector<storm::Step>& candidate) {
        ++runs;
        storm::Figures scratch;
        const auto candidateFailure = storm::RunIsolated(candidate, quiet, &scratch, BoundSeconds(candidate.size()));
        if (candidateFailure) shown = *candidateFailure;
        return candidateFailure.has_value();
    };
    const auto shortest = storm::Shrink(steps, failure.step, stillFails);
    std::printf("the shortest sequence found that still fails (%zu step%s, %d runs to find it):\n", shortest.size(),
                shortest.size() == 1 ? "" : "s", runs);
    for (size_t i = 0; i < shortest.size(); ++i) std::printf("  %zu: %s\n", i + 1, storm::Describe(shortest[i]).c_str());
    std::printf("  -> %s: %s\n", Where(shown, shortest.size()).c_str(), shown.what.c_str());
    std::fflush(stdout);
}

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
        } else if (name == "--fail-every") {
            parser.Value(&options.failEvery);
        } else {
            parser.Fail("the storm takes --storm N, --seed S, --seeds K, --fail-every FUNCTION and --verbose; not " +
                        name);
        }
    }
    if (!parser.Finish("service", PrintServiceUsage)) return kExitUsage;

    const storm::Settings settings{.serviceImage = KORVEXS_IMAGE, .verbose = options.verbose,
                                   .failEvery = options.failEvery};
    if (!settings.failEvery.empty()) {
        std::printf("every call of %s the service makes during the steps fails\n", settings.failEvery.c_str());
    }
    bool ok = true;
    long totalSteps = 0;
    for (long k = 0; k < options.seeds; ++k) {
        const unsigned seed = static_cast<unsigned>(options.seed + k);
        const auto steps = storm::Generate(static_cast<size_t>(options.steps), seed);
        storm::Figures figures;
        const auto began = Clock::now();
        const auto failure = storm::RunIsolated(steps, settings, &figures, BoundSeconds(steps.size()));
        const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
        totalSteps += options.steps;
        if (!failure) {
            std::printf("seed %u: %ld steps, every rule held (%.1f s):", seed, options.steps, seconds);
            PrintFigures(figures);
            std::fflush(stdout);
            continue;
        }
        ok = false;
        std::printf("seed %u: FAILED %s: %s\n", seed, Where(*failure, steps.size()).c_str(), failure->what.c_str());
        std::fflush(stdout);
        PrintShortest(steps, *failure, settings);
    }
    std::printf("%ld steps over %ld seed%s: %s\n", totalSteps, options.seeds, options.seeds == 1 ? "" : "s",
                ok ? "no rule broken" : "a rule was broken");
    return ok ? kExitOk : kExitFault;
}

}  // namespace korvex::cli
