#include "tools/korvex-sim/stream_report.h"

#include "tools/korvex-sim/host_cli.h"

#include <cstdio>
#include <vector>

namespace korvex::cli {
namespace {

std::string PercentileLine(const host::Percentiles& p) {
    if (p.count == 0) return "(no samples)";
    return "p50 " + Duration(p.p50) + ", p99 " + Duration(p.p99) + ", p99.9 " + Duration(p.p999) + ", max " +
           Duration(p.max) + "  (" + std::to_string(p.count) + ")";
}

std::string Join(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
    return out;
}

}  // namespace

std::string Duration(double ns) {
    char text[32];
    if (ns < 1e6) {
        snprintf(text, sizeof text, "%.1f µs", ns / 1e3);
    } else {
        snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
    }
    return text;
}

void PrintStreamSetup(const host::StreamHost& host) {
    std::vector<std::string> outputs;
    for (int32_t i = 0; i < host.outputs(); ++i) {
        char text[64];
        snprintf(text, sizeof text, "%s %.0f Hz", host.outputNames()[i].c_str(), host::OutputToneHz(i));
        outputs.push_back(text);
    }
    printf("Driver          %s, version %d\n", host.driverName().c_str(), host.driverVersion());
    printf("Channels        %d in (%s), %d out, all Int32LSB\n", host.inputs(), Join(host.inputNames()).c_str(),
           host.outputs());
    printf("Buffers         %d samples per half (%.2f ms), created for all %d channels; min %d, max %d\n",
           host.bufferSize(), host.periodNs() / 1e6, host.inputs() + host.outputs(), host.minimumSize(),
           host.maximumSize());
    printf("Latencies       in %d, out %d samples\n", host.inputLatency(), host.outputLatency());
    printf("Host writes     a %.0f dBFS sine on each output:", host::kOutputLevelDbfs);
    for (size_t i = 0; i < outputs.size(); ++i) {
        printf("%s%s", i % 4 == 0 ? "\n                " : ", ", outputs[i].c_str());
    }
    printf("\n");
}

void PrintStreamSummary(const host::StreamHost& host) {
    const uint64_t callbacks = host.callbacks();
    const auto size = static_cast<uint64_t>(host.bufferSize());
    printf("\nCallbacks       %llu (halves the card signalled: %llu)",
           static_cast<unsigned long long>(callbacks), static_cast<unsigned long long>(host.halvesSignalled()));
    if (host.halvesDuringStop() > 0) {
        printf("; %llu signalled while stop was under way",
               static_cast<unsigned long long>(host.halvesDuringStop()));
    }
    printf("\n                %llu through bufferSwitchTimeInfo; time info asked: %s, time code asked: %s\n",
           static_cast<unsigned long long>(host.timeInfoCallbacks()), host.timeInfoAsked() ? "yes" : "no",
           host.timeCodeAsked() ? "yes" : "no");
    printf("Sample position %llu (expected %llu × %llu = %llu)%s\n",
           static_cast<unsigned long long>(host.finalPosition()), static_cast<unsigned long long>(callbacks),
           static_cast<unsigned long long>(size), static_cast<unsigned long long>(callbacks * size),
           host.finalPosition() == callbacks * size ? "" : "  WRONG");
    if (host.positionErrors() || host.halfErrors()) {
        printf("                %llu callbacks with a wrong time-info position, %llu with the wrong half\n",
               static_cast<unsigned long long>(host.positionErrors()),
               static_cast<unsigned long long>(host.halfErrors()));
    }
    printf("Overruns        %llu\n", static_cast<unsigned long long>(host.overruns()));
    for (int32_t i = 0; i < host.inputs(); ++i) {
        const host::SignalMeter& meter = host.inputMeter(i);
        if (meter.Crossings() == 0) {
            printf("Input %d %-7s silent (peak %.2f dBFS)\n", i, host.inputNames()[i].c_str(), meter.PeakDbfs());
            continue;
        }
        printf("Input %d %-7s %.2f Hz, peak %.2f dBFS, RMS %.2f dBFS\n", i, host.inputNames()[i].c_str(),
               meter.FrequencyHz(host.sampleRate()), meter.PeakDbfs(), meter.RmsDbfs());
    }
    printf("Wake→callback   %s\n", PercentileLine(host::ComputePercentiles(host.wakeLatencies())).c_str());
    printf("                from the card setting the half's ready event to the host's callback\n");
    const std::vector<uint64_t> jitter = host.Jitter();
    printf("Interval jitter %s\n", PercentileLine(host::ComputePercentiles(jitter)).c_str());
    printf("                |callback interval - %s|\n", Duration(host.periodNs()).c_str());
    const host::Percentiles card_late = host::ComputePercentiles(host.cardLateness());
    uint64_t lateSignals = 0;
    for (uint64_t late : host.cardLateness()) lateSignals += static_cast<double>(late) > host.periodNs();
    printf("Card clock      %llu signals more than a half behind schedule; lateness p99 %s, max %s\n",
           static_cast<unsigned long long>(lateSignals), Duration(card_late.p99).c_str(),
           Duration(card_late.max).c_str());
    printf("CPU per half    stream thread %s (of it the host's callback %s); whole process %s\n",
           Duration(host.streamThreadCpuPerHalfNs()).c_str(), Duration(host.callbackCpuPerHalfNs()).c_str(),
           Duration(host.processCpuPerHalfNs()).c_str());
    if (host.unmatchedStamps() > 0 || host.samplesDropped() > 0) {
        printf("                %llu callbacks without a matching card stamp, %llu latencies beyond storage\n",
               static_cast<unsigned long long>(host.unmatchedStamps()),
               static_cast<unsigned long long>(host.samplesDropped()));
    }
}

void PrintStreamResult(int status) {
    if (status == kExitFault) {
        printf("Result          FAULT: a half was lost or overran, or the sample position is wrong\n");
    } else if (status == kExitOk) {
        printf("Result          OK: every half reached the host in time, position right\n");
    }
}

}  // namespace korvex::cli
