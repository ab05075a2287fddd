// How a host command reaches a driver: the one seam between the two builds
// of korvex-sim. On Linux a simulated machine with one card, and the driver
// library loaded by path (dlopen) and created through its class factory; on
// Windows the driver registered under HKLM\SOFTWARE\ASIO, created through
// COM in a single-threaded apartment, as every host finds it. Everything
// above the seam (options, the runs, the tables) is the same code.
#pragma once

#include "asio/driver/asio.h"
#include "sim/card_config.h"
#include "tools/korvex-sim/host_cli.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace korvex::host {

struct SessionOptions {
    // The simulated card: on Linux the machine's; on Windows passed to the
    // test build of the driver with the card inside, and ignored by any
    // other driver.
    sim::CardModel model = sim::CardModel::Six;
    uint32_t rate = 48000;
    uint32_t bufferMs = 10;
    std::optional<sim::LoopbackCable> loopback;
    std::string library;  // Linux: the driver library (empty: the one built)
    std::string driver;   // Windows: the registered driver's name (empty: the first)
};

class HostSession {
public:
    virtual ~HostSession() = default;
    // Null, with the reason in `error`, when no driver object was created.
    static std::unique_ptr<HostSession> Open(const SessionOptions& options, std::string* error);

    virtual IASIO* driver() const = 0;
    // What was loaded from where, and the card behind it when it is simulated.
    virtual void Describe(FILE* out) const = 0;
    // Releases the driver and reports how; false when the release was not
    // clean (a reference or, on the simulated machine, a handle left).
    virtual bool Close(FILE* out) = 0;
};

// The seam's own options (--library on Linux, --driver on Windows); true
// when `name` was one of them.
bool ParseSessionOption(const std::string& name, cli::Options& options, SessionOptions* session);
void PrintSessionUsage(FILE* out);

}  // namespace korvex::host
