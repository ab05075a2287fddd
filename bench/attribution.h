// Where an overrun's time went. Platform-neutral: the Linux and the Windows
// benchmark fill the same records from their own clocks (all times in ns on
// one monotonic clock).
//
// A half s is due at D; the card sets its ready event at S, the stream
// thread enters the host's callback at W, the host calls outputReady at R
// (it returns at E), and the card judges the answer at C, when serving the
// next deadline. The host is late when R - D exceeds C - D; R - D splits into
// card clock lateness (S - D), wake (W - S) and callback (R - W). An overrun
// goes to the part that exceeded its own median by most, except when the
// answer was being given as the card looked (R < C < E) or was given before
// the card looked and still not seen (E < C).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace bench {

struct HalfRecord {
    uint64_t dueNs = 0, signalNs = 0, checkNs = 0;
    bool checked = false, answered = false;
    bool called = false;  // the host's callback ran for this half
    uint64_t entryNs = 0, readyNs = 0, doneNs = 0;
};

enum class Cause { ClockLate, WakeLate, CallbackLong, OutputReadyLate, CheckLate, NoCallback, Count };

inline const char* CauseName(Cause cause) {
    switch (cause) {
        case Cause::ClockLate: return "card clock late";
        case Cause::WakeLate: return "wake late";
        case Cause::CallbackLong: return "host callback long";
        case Cause::OutputReadyLate: return "outputReady late";
        case Cause::CheckLate: return "card's check late";
        case Cause::NoCallback: return "no callback";
        default: return "?";
    }
}

inline uint64_t Since(uint64_t later, uint64_t earlier) { return later > earlier ? later - earlier : 0; }

inline double Median(std::vector<uint64_t> values) {
    if (values.empty()) return 0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return static_cast<double>(values[values.size() / 2]);
}

struct Attribution {
    std::array<uint64_t, static_cast<size_t>(Cause::Count)> count{};
    // Per cause, the worst value of the part that was blamed, and how the
    // whole half looked then: clock late, wake, callback, answer vs check.
    std::array<uint64_t, static_cast<size_t>(Cause::Count)> worst{};
    double clockMedian = 0, wakeMedian = 0, callbackMedian = 0;
    uint64_t overruns = 0;
    // The card's margin: how long after the next deadline it judged (p50, max).
    double checkAfterDueMedian = 0;
    uint64_t checkAfterDueMax = 0;
    // Halves whose host window (signal to check) was under half a period.
    uint64_t shortWindows = 0;
};

inline Attribution Attribute(std::span<const HalfRecord> records, double periodNs) {
    Attribution a;
    std::vector<uint64_t> clock, wake, callback, checkAfter;
    for (const HalfRecord& r : records) {
        clock.push_back(Since(r.signalNs, r.dueNs));
        if (r.called) {
            wake.push_back(Since(r.entryNs, r.signalNs));
            callback.push_back(Since(r.readyNs, r.entryNs));
        }
        if (r.checked) {
            const uint64_t nextDue = r.dueNs + static_cast<uint64_t>(periodNs);
            checkAfter.push_back(Since(r.checkNs, nextDue));
            if (static_cast<double>(Since(r.checkNs, r.signalNs)) < periodNs / 2) ++a.shortWindows;
        }
    }
    a.clockMedian = Median(clock);
    a.wakeMedian = Median(wake);
    a.callbackMedian = Median(callback);
    a.checkAfterDueMedian = Median(checkAfter);
    if (!checkAfter.empty()) a.checkAfterDueMax = *std::max_element(checkAfter.begin(), checkAfter.end());

    for (const HalfRecord& r : records) {
        if (!r.checked || r.answered) continue;
        ++a.overruns;
        Cause cause;
        uint64_t blamed;
        if (!r.called) {
            // Overtaken by the next signal of the same half before the host
            // woke: after a late clock that one comes at once.
            const bool clockLate = static_cast<double>(Since(r.signalNs, r.dueNs)) > periodNs / 2;
            cause = clockLate ? Cause::ClockLate : Cause::NoCallback;
            blamed = clockLate ? Since(r.signalNs, r.dueNs) : Since(r.checkNs, r.signalNs);
        } else if (r.readyNs < r.checkNs && r.doneNs >= r.checkNs) {
            cause = Cause::OutputReadyLate;
            blamed = r.doneNs - r.readyNs;
        } else if (r.doneNs < r.checkNs) {
            cause = Cause::CheckLate;
            blamed = r.checkNs - r.doneNs;
        } else {
            const uint64_t c = Since(r.signalNs, r.dueNs), w = Since(r.entryNs, r.signalNs),
                           b = Since(r.readyNs, r.entryNs);
            const double ec = c - a.clockMedian, ew = w - a.wakeMedian, eb = b - a.callbackMedian;
            if (ec >= ew && ec >= eb) {
                cause = Cause::ClockLate;
                blamed = c;
            } else if (ew >= eb) {
                cause = Cause::WakeLate;
                blamed = w;
            } else {
                cause = Cause::CallbackLong;
                blamed = b;
            }
        }
        const size_t k = static_cast<size_t>(cause);
        ++a.count[k];
        a.worst[k] = std::max(a.worst[k], blamed);
    }
    return a;
}

// "clock 3, wake 1" (the causes that occurred), or "-".
inline std::string CauseSummary(const Attribution& a) {
    static constexpr const char* kShort[] = {"clock", "wake", "callback", "outputReady", "check", "no callback"};
    std::string text;
    for (size_t k = 0; k < a.count.size(); ++k) {
        if (a.count[k] == 0) continue;
        if (!text.empty()) text += ", ";
        text += kShort[k] + std::string(" ") + std::to_string(a.count[k]);
    }
    return text.empty() ? "-" : text;
}

inline void PrintAttribution(const Attribution& a, double periodNs, uint64_t floorLate, uint64_t floorLateTimer) {
    auto us = [](double ns) { return ns / 1e3; };
    printf("  overrun attribution     %llu overruns (floor: %llu late wakes, %llu of them the timer's)\n",
           static_cast<unsigned long long>(a.overruns), static_cast<unsigned long long>(floorLate),
           static_cast<unsigned long long>(floorLateTimer));
    for (size_t k = 0; k < a.count.size(); ++k) {
        if (a.count[k] == 0) continue;
        printf("    %-22s %5llu   worst %.1f µs\n", CauseName(static_cast<Cause>(k)),
               static_cast<unsigned long long>(a.count[k]), us(static_cast<double>(a.worst[k])));
    }
    printf("    medians per half: card clock late %.1f µs, wake %.1f µs, callback to outputReady %.1f µs;\n"
           "    card's check after the next deadline p50 %.1f µs, max %.1f µs; host windows under half a period: "
           "%llu (period %.1f µs)\n",
           us(a.clockMedian), us(a.wakeMedian), us(a.callbackMedian), us(a.checkAfterDueMedian),
           us(static_cast<double>(a.checkAfterDueMax)), static_cast<unsigned long long>(a.shortWindows),
           us(periodNs));
}

}  // namespace bench
