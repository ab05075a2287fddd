// What korvex-sim stream prints about a stream, the same on Linux and
// Windows: the host's setup, and after stop the halves, position, overruns,
// the tone on the inputs, wake-to-callback latency, jitter and CPU.
#pragma once

#include "tools/korvex-sim/host_stream.h"

#include <string>

namespace korvex::cli {

std::string Duration(double ns);  // "12.3 µs" or "1.23 ms"

// Driver, channels, buffers, latencies and what the host writes.
void PrintStreamSetup(const host::StreamHost& host);
// Everything the stream did, after stop.
void PrintStreamSummary(const host::StreamHost& host);
// The closing line for the command's exit status.
void PrintStreamResult(int status);

}  // namespace korvex::cli
