// What a host's driver-info page shows of a driver object.
#pragma once

#include "asio/driver/asio.h"

#include <cstdio>

namespace korvex::host {

// Calls init and the queries a host makes before it creates buffers, and
// prints the answers. Returns init's answer.
ASIOBool PrintDriverInfo(IASIO* driver, FILE* out);

const char* SampleTypeName(ASIOSampleType type);
const char* AsioErrorName(ASIOError error);

}  // namespace korvex::host
