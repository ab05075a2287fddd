// korvex-sim run as a person runs it: the binary, its text and its exit
// status, and the WAV file it writes read back and measured here, apart from
// the host's own meters.
#include "asio/driver/models.h"
#include "sim/wav.h"
#include "tools/korvex-sim/host_stream.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <regex>
#include <string>

namespace {

struct SimRun {
    int status = -1;
    std::string text;  // stdout and stderr
};

SimRun RunSim(const std::string& arguments) {
    SimRun run;
    const std::string command = std::string("'") + KORVEX_SIM_BINARY + "' " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.text.append(buffer, got);
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

// The numbers of the first line that matches; empty when none does.
std::vector<double> Match(const std::string& text, const std::string& pattern) {
    std::smatch match;
    if (!std::regex_search(text, match, std::regex(pattern))) return {};
    std::vector<double> numbers;
    for (size_t i = 1; i < match.size(); ++i) numbers.push_back(std::stod(match[i].str()));
    return numbers;
}

// What the WAV file holds on one channel, measured without the host's code:
// frequency from the first and last upward zero crossing, peak, RMS, and the
// largest step between neighbouring samples.
struct Measured {
    double frequencyHz = 0, peakDbfs = -INFINITY, rmsDbfs = -INFINITY, maxStep = 0;
};

Measured MeasureChannel(const sim::WavData& wav, int channel) {
    Measured m;
    double first = -1, last = -1, sumSquares = 0, peak = 0;
    long crossings = 0;
    const size_t frames = wav.Frames();
    for (size_t f = 0; f < frames; ++f) {
        const double x = wav.samples[f * wav.channels + channel];
        sumSquares += x * x;
        peak = std::max(peak, std::fabs(x));
        if (f == 0) continue;
        const double prev = wav.samples[(f - 1) * wav.channels + channel];
        m.maxStep = std::max(m.maxStep, std::fabs(x - prev));
        if (prev < 0 && x >= 0) {
            const double at = static_cast<double>(f - 1) + -prev / (x - prev);
            if (first < 0) first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings >= 2) m.frequencyHz = (crossings - 1) * static_cast<double>(wav.sampleRate) / (last - first);
    if (peak > 0) m.peakDbfs = 20 * std::log10(peak / korvex::host::kFullScale);
    if (frames > 0) m.rmsDbfs = 20 * std::log10(std::sqrt(sumSquares / frames) / korvex::host::kFullScale);
    return m;
}

TEST(DemoStream, EveryHalfReachesTheHostAndTheCardPlaysWhatTheHostWrote) {
    const std::string wavPath = testing::TempDir() + "korvex-demo-" + std::to_string(getpid()) + ".wav";
    const SimRun run = RunSim("stream --seconds 5 --rate 48000 --buffer-ms 10 --tone 997 --wav '" + wavPath + "'");
    SCOPED_TRACE(run.text);
    ASSERT_EQ(run.status, 0);

    // The summary: callbacks, halves, position and overruns agree.
    const auto halves = Match(run.text, R"(Callbacks\s+(\d+) \(halves the card signalled: (\d+)\))");
    const auto position = Match(run.text, R"(Sample position (\d+) \(expected (\d+) × (\d+) = (\d+)\))");
    const auto overruns = Match(run.text, R"(\nOverruns\s+(\d+)\n)");
    ASSERT_EQ(halves.size(), 2u);
    ASSERT_EQ(position.size(), 4u);
    ASSERT_EQ(overruns.size(), 1u);
    const double callbacks = halves[0], signalled = halves[1], size = position[2];
    EXPECT_EQ(size, 480);
    EXPECT_EQ(callbacks, signalled);
    EXPECT_EQ(position[0], signalled * size);
    EXPECT_EQ(position[1], callbacks);
    EXPECT_EQ(overruns[0], 0);
    // 5 s of 10 ms halves, give or take the stop.
    EXPECT_GE(callbacks, 495);
    EXPECT_LE(callbacks, 505);

    // The card's tone as the host measured it on both inputs.
    for (int input = 0; input < 2; ++input) {
        const auto measured =
            Match(run.text, "Input " + std::to_string(input) +
                                R"( \w+\s+([\d.]+) Hz, peak (-?[\d.]+) dBFS, RMS (-?[\d.]+) dBFS)");
        ASSERT_EQ(measured.size(), 3u) << "input " << input;
        EXPECT_NEAR(measured[0], 997.0, 0.05) << "input " << input;
        EXPECT_NEAR(measured[1], -6.0, 0.02) << "input " << input;
        EXPECT_NEAR(measured[2], -6.0 - 10 * std::log10(2.0), 0.02) << "input " << input;
    }
    EXPECT_NE(run.text.find("Wake→callback   p50 "), std::string::npos);
    EXPECT_NE(run.text.find("Interval jitter p50 "), std::string::npos);

    // What the card played: every output's sine, unbroken across the halves.
    const std::optional<sim::WavData> wav = sim::ReadWav(wavPath);
    std::remove(wavPath.c_str());
    ASSERT_TRUE(wav.has_value());
    EXPECT_EQ(wav->sampleRate, 48000u);
    EXPECT_EQ(wav->bitsPerSample, 32);
    ASSERT_EQ(wav->channels, 6);
    EXPECT_EQ(static_cast<double>(wav->Frames()), position[0]);
    const double amplitude = korvex::host::kFullScale * std::pow(10.0, korvex::host::kOutputLevelDbfs / 20);
    for (int output = 0; output < wav->channels; ++output) {
        SCOPED_TRACE("output " + std::to_string(output));
        const double hz = korvex::host::OutputToneHz(output);
        const Measured m = MeasureChannel(*wav, output);
        EXPECT_NEAR(m.frequencyHz, hz, hz * 1e-5);
        EXPECT_NEAR(m.peakDbfs, korvex::host::kOutputLevelDbfs, 0.01);
        EXPECT_NEAR(m.rmsDbfs, korvex::host::kOutputLevelDbfs - 10 * std::log10(2.0), 0.01);
        // A lost, repeated or restarted half would jump further than the
        // sine's steepest slope.
        EXPECT_LE(m.maxStep, amplitude * 2 * std::numbers::pi * hz / 48000 * 1.001 + 2);
    }
}

TEST(DemoProbe, ShowsTheDriversPageTheClaimAndTheRequestsAndClosesEveryHandle) {
    struct Case {
        const char* model;
        int row;  // in the driver's model table
        const char* channels;
    } cases[] = {{"six", 1, "2 in, 6 out"}, {"eight", 4, "2 in, 8 out"}, {"pico", 0, "2 in, 2 out"}};
    for (const Case& c : cases) {
        const SimRun run = RunSim(std::string("probe --model ") + c.model);
        SCOPED_TRACE(run.text);
        EXPECT_EQ(run.status, 0);
        EXPECT_NE(run.text.find(std::string("Driver          ") + korvex::kCardModels[c.row].driverName),
                  std::string::npos);
        EXPECT_NE(run.text.find("init            ASIOTrue"), std::string::npos);
        EXPECT_NE(run.text.find(std::string("Channels        ") + c.channels), std::string::npos);
        EXPECT_NE(run.text.find("Claim           claimed by the driver"), std::string::npos);
        // The request log in order: the claim and init's two reads, then what
        // the release sends, claim given back last.
        const std::regex log(
            R"(1\s+driver\s+DEVCTL_IN_USE\s+GET\s+00[^\n]*\n\s+2\s+driver\s+DEVCTL_CLAIM\s+SET\s+01[^\n]*\n)"
            R"(\s+3\s+driver\s+DEVCTL_SAMPLE_RATE\s+GET[^\n]*48000 Hz\n)"
            R"(\s+4\s+driver\s+DEVCTL_BUFFER_MS\s+GET[^\n]*10 ms\n)"
            R"(\s+--- the driver is released ---\n(.*\n)*?\s+\d+\s+driver\s+DEVCTL_CLAIM\s+SET\s+00\s+give back\n\n)");
        EXPECT_TRUE(std::regex_search(run.text, log));
        EXPECT_NE(run.text.find("DllCanUnloadNow S_OK"), std::string::npos);
        const auto before = Match(run.text, R"(before the driver (\d+) )");
        const auto during = Match(run.text, R"(with the driver\s+(\d+) )");
        const auto after = Match(run.text, R"(after release\s+(\d+) )");
        ASSERT_EQ(before.size(), 1u);
        ASSERT_EQ(during.size(), 1u);
        ASSERT_EQ(after.size(), 1u);
        EXPECT_GT(during[0], before[0]);  // the driver's events and device file
        EXPECT_EQ(after[0], before[0]);
    }
}

TEST(DemoProbe, WithoutACardOrWithTheCardInUseTheDriverReportsItNotPresent) {
    const SimRun none = RunSim("probe --no-card");
    {
        SCOPED_TRACE(none.text);
        EXPECT_EQ(none.status, 0);
        EXPECT_NE(none.text.find("Machine         no card"), std::string::npos);
        EXPECT_NE(none.text.find(std::string("init            ASIOFalse: ") + korvex::kNotPresentMessage),
                  std::string::npos);
        EXPECT_NE(none.text.find("Card            not present"), std::string::npos);
        EXPECT_NE(none.text.find("DllCanUnloadNow S_OK"), std::string::npos);
    }
    const SimRun inUse = RunSim("probe --card-in-use");
    {
        SCOPED_TRACE(inUse.text);
        EXPECT_EQ(inUse.status, 0);
        EXPECT_NE(inUse.text.find("init            ASIOFalse: "), std::string::npos);
        EXPECT_NE(inUse.text.find("held by the other client"), std::string::npos);
        // The other client's claim, then the driver finding the card in use
        // and taking nothing.
        EXPECT_TRUE(std::regex_search(inUse.text, std::regex(R"(1\s+other\s+DEVCTL_CLAIM\s+SET\s+01\s+take\n)"
                                                             R"(\s+2\s+driver\s+DEVCTL_IN_USE\s+GET\s+01\s+in use\n)")));
        EXPECT_EQ(inUse.text.find("driver  DEVCTL_CLAIM"), std::string::npos);
    }
}

TEST(DemoCommandLine, HelpAndBadOptions) {
    const SimRun help = RunSim("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.text.find("probe"), std::string::npos);
    EXPECT_NE(help.text.find("stream"), std::string::npos);
    for (const char* bad : {"stream --model nine", "stream --seconds", "probe --rate fast", "probe --frobnicate",
                            "dance", "stream --library /nonexistent/libKorvexASIO.so --seconds 1"}) {
        const SimRun run = RunSim(bad);
        EXPECT_EQ(run.status, 2) << bad << "\n" << run.text;
    }
}

}  // namespace
