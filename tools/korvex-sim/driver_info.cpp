#include "tools/korvex-sim/driver_info.h"

#include <cstring>

namespace korvex::host {
namespace {

constexpr double kCustomaryRates[] = {8000,  11025, 16000,  22050,  32000,  44100,
                                      48000, 88200, 96000, 176400, 192000, 384000};

void PrintChannels(IASIO* driver, FILE* out, bool input, int32_t count) {
    for (int32_t channel = 0; channel < count; ++channel) {
        ASIOChannelInfo info{};
        info.channel = channel;
        info.isInput = input ? ASIOTrue : ASIOFalse;
        if (driver->getChannelInfo(&info) != ASE_OK) {
            fprintf(out, "    %-6s %d  (no information)\n", input ? "in" : "out", channel);
            continue;
        }
        fprintf(out, "    %-6s %d  %-16s %s\n", input ? "in" : "out", channel, info.name, SampleTypeName(info.type));
    }
}

}  // namespace

const char* SampleTypeName(ASIOSampleType type) { return type == ASIOSTInt32LSB ? "Int32LSB" : "other"; }

const char* AsioErrorName(ASIOError error) {
    switch (error) {
        case ASE_OK: return "ASE_OK";
        case ASE_SUCCESS: return "ASE_SUCCESS";
        case ASE_NotPresent: return "ASE_NotPresent";
        case ASE_HWMalfunction: return "ASE_HWMalfunction";
        case ASE_InvalidParameter: return "ASE_InvalidParameter";
        case ASE_InvalidMode: return "ASE_InvalidMode";
        case ASE_SPNotAdvancing: return "ASE_SPNotAdvancing";
        case ASE_NoClock: return "ASE_NoClock";
        case ASE_NoMemory: return "ASE_NoMemory";
        default: return "unknown";
    }
}

ASIOBool PrintDriverInfo(IASIO* driver, FILE* out) {
    char name[32] = "(no name)";
    driver->getDriverName(name);
    fprintf(out, "Driver          %s, version %d\n", name, driver->getDriverVersion());

    ASIOBool ready = driver->init(nullptr);
    char message[128] = {};
    driver->getErrorMessage(message);
    fprintf(out, "init            %s%s%s\n", ready ? "ASIOTrue" : "ASIOFalse", message[0] ? ": " : "", message);
    if (!ready) return ready;

    int32_t inputs = 0, outputs = 0;
    driver->getChannels(&inputs, &outputs);
    fprintf(out, "Channels        %d in, %d out\n", inputs, outputs);
    PrintChannels(driver, out, true, inputs);
    PrintChannels(driver, out, false, outputs);

    ASIOClockSource clocks[4]{};
    int32_t sources = 4;
    driver->getClockSources(clocks, &sources);
    for (int32_t i = 0; i < sources && i < 4; ++i) {
        fprintf(out, "Clock source    %d %s%s\n", clocks[i].index, clocks[i].name,
                clocks[i].isCurrentSource ? " (current)" : "");
    }

    ASIOSampleRate rate = 0;
    driver->getSampleRate(&rate);
    fprintf(out, "Sample rate     %.0f Hz\n", rate);
    fprintf(out, "Rates accepted ");
    for (double customary : kCustomaryRates) {
        if (driver->canSampleRate(customary) == ASE_OK) fprintf(out, " %.0f", customary);
    }
    fprintf(out, "\n");

    int32_t minimum = 0, maximum = 0, preferred = 0, granularity = 0;
    driver->getBufferSize(&minimum, &maximum, &preferred, &granularity);
    fprintf(out, "Buffer sizes    min %d, max %d, preferred %d, granularity %d (samples)\n", minimum, maximum, preferred,
            granularity);
    int32_t inputLatency = 0, outputLatency = 0;
    driver->getLatencies(&inputLatency, &outputLatency);
    fprintf(out, "Latencies       in %d, out %d samples (%.2f ms, %.2f ms)\n", inputLatency, outputLatency,
            rate > 0 ? inputLatency * 1000.0 / rate : 0.0, rate > 0 ? outputLatency * 1000.0 / rate : 0.0);
    return ready;
}

}  // namespace korvex::host
