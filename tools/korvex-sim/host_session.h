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

class StreamHost;

struct SessionOptions {
    // The simulated card: on Linux the machine's; on Windows passed to the
    // test build of the driver with the card inside, and ignored by any
    // other driver.
    sim::CardModel model = sim::CardModel::Six;
    uint32_t rate = 48000;
    uint32_t bufferMs = 10;
    std::optional<sim::LoopbackCable> loopback;
    bool noCard = false;     // a machine without a card
    bool cardInUse = false;  // another client holds the card's claim
    // Close reports everything the simulated card saw and the handles that
    // were open before, with and after the driver (Linux).
    bool fullReport = false;
    // For a stream: the tone on the card's inputs, how long it will run (room
    // for the card's stamps and recording), and where to write what the card
    // played (empty: nowhere).
    sim::ToneConfig tone{};
    double streamSeconds = 0;
    std::string wav;
    std::string library;  // Linux: the driver library (empty: the one built)
    std::string driver;   // Windows: the registered driver's name (empty: the first)
};

class HostSession {
public:
    virtual ~HostSession() = default;
    // Null, with the reason in `error`, when no driver object was created:
    // `found` tells whether the driver was there (its library loaded, or its
    // registration present) and only creating the object failed.
    static std::unique_ptr<HostSession> Open(const SessionOptions& options, std::string* error, bool* found);

    virtual IASIO* driver() const = 0;
    // The machine, what was loaded from where, and how the object was made.
    virtual void Describe(FILE* out) const = 0;
    // What the card says of the driver's claim, when the card can be seen.
    virtual void ReportCard(FILE* out) const = 0;
    // ---- Streaming --------------------------------------------------------
    // A streaming host over the driver and the card as this side sees it:
    // live on Linux, from the status the card publishes (complete after
    // stop) on Windows.
    virtual std::unique_ptr<StreamHost> NewStreamHost() = 0;
    // After StreamHost::Prepare (the driver has found its card), before the
    // stream: what following the card needs. False with `error`.
    virtual bool BeforeStream(const StreamHost& host, std::string* error) = 0;
    // True when progress may be redrawn on the terminal while streaming.
    virtual bool LiveProgress() const = 0;
    // After the stream: the WAV file of what the card played, when one was
    // asked for, and its line; false when it was not written.
    virtual bool SaveRecording(const StreamHost& host, FILE* out) = 0;

    // Releases the driver and reports how; false when the release was not
    // clean (a reference or, on the simulated machine, a handle left).
    virtual bool Close(FILE* out) = 0;
};

// The seam's own options (--library on Linux, --driver on Windows); true
// when `name` was one of them.
bool ParseSessionOption(const std::string& name, cli::Options& options, SessionOptions* session);
void PrintSessionUsage(FILE* out);

}  // namespace korvex::host
