// The seam of the stream_latency benchmark. Its body (stream_latency.cpp:
// the options, the runs in alternating segments, the tables, the targets,
// the overrun attribution and the note) is one piece of code for both
// builds; what differs lives behind this header:
//   latency_linux.cpp  the floor is a raw futex wake between two threads; the
//                      driver library is loaded by path on a simulated
//                      machine whose card is read directly;
//   latency_win.cpp    the floor is SetEvent -> WaitForMultipleObjects, with
//                      a second, call-shaped floor; the driver with the card
//                      inside is loaded from its DLL, and the card's half
//                      stamps come from the file it writes at each stop.
// All times are in ns on CLOCK_MONOTONIC, the clock of the card's stamps.
#pragma once

#include "bench/attribution.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct Setting {
    uint32_t rate = 0;
    uint32_t ms = 0;
};

struct Options {
    double seconds = 10.0;  // per path and setting
    int segments = 5;
    std::vector<Setting> settings;
    std::string model = "six";  // the simulated card's model
    std::string driver;         // the driver's file (empty: the platform's default)
};

// One floor's figures over all its runs.
struct FloorFigures {
    std::vector<uint64_t> wake;       // signal to the second thread's wake
    std::vector<uint64_t> jitter;     // |wake interval - period|
    std::vector<uint64_t> timerLate;  // the sleeping thread's own lateness (empty: not shown)
    uint64_t periods = 0, wakes = 0, coalesced = 0;
    uint64_t lateWakes = 0;  // woke more than a period after the deadline
    uint64_t lateTimer = 0;  // the sleeping thread itself woke that late
    std::optional<uint64_t> unanswered;  // halves unanswered at the next deadline
    std::optional<double> cpuPerPeriodNs;
};

class Floor {
public:
    virtual ~Floor() = default;
    // The row in the wake table ("floor (raw futex wake)") and the short
    // name in the others ("floor", "call-shaped floor").
    virtual const char* label() const = 0;
    virtual const char* name() const = 0;
    virtual bool Run(double seconds) = 0;
    virtual FloorFigures Figures() const = 0;
};

struct DriverCpu {
    double process = 0, streamThread = 0, callback = 0;  // per half
};

struct DriverFigures {
    std::vector<uint64_t> wake;    // the card's signal to the callback's entry
    std::vector<uint64_t> jitter;  // |callback interval - period|
    // Every half the card signalled, with its callback; empty when the card's
    // stamps could not be read.
    std::vector<HalfRecord> records;
    uint64_t callbacks = 0, overruns = 0;
    std::optional<uint64_t> halvesSignalled;
    std::optional<bool> positionRight;  // getSamplePosition against the callbacks
    // Signals more than a period behind the card's own schedule.
    std::optional<uint64_t> cardClockLate;
    std::optional<DriverCpu> cpu;
};

// The driver, its buffers created for one setting.
class DriverPath {
public:
    virtual ~DriverPath() = default;
    virtual const std::string& name() const = 0;
    virtual double periodNs() const = 0;
    // Samples per half over every input (or output) channel.
    virtual size_t Samples(bool inputs) const = 0;
    // One start..stop pair of about `seconds`.
    virtual bool Run(double seconds, std::string* error) = 0;
    // Disposes the buffers and gathers what the runs measured.
    virtual DriverFigures Finish() = 0;
    // Where the card's stamps were looked for, to say so when none came.
    virtual std::string StampsSource() const = 0;
};

struct Targets {
    double p99 = 0;   // driver p99 at most this times the floor's
    double p999 = 0;  // the same for p99.9 (0: no target)
};

class Platform {
public:
    virtual ~Platform() = default;
    static std::unique_ptr<Platform> Create();

    // The platform's own options: true when `name` was one, with `*used`
    // set when it took `value`; false in `*valid` when the value was bad.
    virtual bool ParseOption(const std::string& name, const char* value, bool* used, bool* valid) = 0;
    virtual const char* UsageSynopsis() const = 0;
    virtual void PrintOptionUsage(FILE* out) const = 0;
    // Before the first setting. False with `error` when nothing can run.
    virtual bool Start(const Options& options, std::string* error) = 0;
    // The heading's two lines: the driver path against the floor.
    virtual std::string Heading(const Options& options) const = 0;
    // Null with `error` when no driver object with buffers could be had.
    virtual std::unique_ptr<DriverPath> OpenDriver(const Setting& setting, const Options& options,
                                                   std::string* error) = 0;
    // The floors at the driver's period, the first the main one (the only one
    // run when there is no driver).
    virtual std::vector<std::unique_ptr<Floor>> MakeFloors(double periodNs, double seconds,
                                                           const DriverPath* driver) const = 0;
    virtual Targets targets() const = 0;
    // What the note's heading says of this build and machine.
    virtual std::string NoteContext() const = 0;
};

}  // namespace bench
