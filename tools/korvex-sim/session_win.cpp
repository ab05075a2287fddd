// The Windows side of the host seam: the driver registered under
// HKLM\SOFTWARE\ASIO, created with CoCreateInstance in this thread's
// single-threaded apartment, as every ASIO host finds a driver. The card
// options go to the test build of the driver with the simulated card inside
// (KorvexASIO-simcard.dll), read when it first looks for cards; a real
// driver and a real card ignore them.
#include "tests/wine/simcard/status_view.h"
#include "tools/korvex-sim/driver_registry.h"
#include "tools/korvex-sim/host_session.h"
#include "tools/korvex-sim/host_stream.h"

#include <string>

namespace korvex::host {
namespace {

void ConfigureSimulatedCard(const SessionOptions& o) {
    SetEnvironmentVariableA("KORVEX_SIMCARD_MODEL", cli::ModelOptionName(o.model));
    SetEnvironmentVariableA("KORVEX_SIMCARD_RATE", std::to_string(o.rate).c_str());
    SetEnvironmentVariableA("KORVEX_SIMCARD_BUFFER_MS", std::to_string(o.bufferMs).c_str());
    SetEnvironmentVariableA("KORVEX_SIMCARD_NO_CARD", o.noCard ? "1" : nullptr);
    SetEnvironmentVariableA("KORVEX_SIMCARD_IN_USE", o.cardInUse ? "1" : nullptr);
    const std::string cable =
        o.loopback ? std::to_string(o.loopback->output) + ":" + std::to_string(o.loopback->input) : std::string();
    SetEnvironmentVariableA("KORVEX_SIMCARD_LOOPBACK", o.loopback ? cable.c_str() : nullptr);
    SetEnvironmentVariableA("KORVEX_SIMCARD_TONE_HZ", std::to_string(o.tone.frequencyHz).c_str());
    SetEnvironmentVariableA("KORVEX_SIMCARD_WAV", o.wav.empty() ? nullptr : o.wav.c_str());
    // Room for the whole stream and the halves around stop.
    SetEnvironmentVariableA("KORVEX_SIMCARD_RECORD_SECONDS",
                            o.streamSeconds > 0 ? std::to_string(o.streamSeconds * 1.05 + 0.5).c_str() : nullptr);
}

// The card as the status it publishes shows it: complete after stop.
class PublishedCard final : public CardView {
public:
    explicit PublishedCard(const simcard::StatusView& status) : status_(status) {}
    uint64_t HalvesSignalled() const override { return status_->halvesSignalled; }
    uint64_t Overruns() const override { return status_->overruns; }
    std::optional<CardSignal> Signal(uint64_t sequence) const override {
        CardSignal signal;
        if (!status_.Stamp(sequence, &signal.ns, &signal.half, &signal.dueNs)) return std::nullopt;
        return signal;
    }
    bool Live() const override { return false; }

private:
    const simcard::StatusView& status_;
};

class RegisteredSession final : public HostSession {
public:
    explicit RegisteredSession(const SessionOptions& options) : options_(options) {}

    bool Create(std::string* error, bool* found) {
        *found = false;
        if (FAILED(CoInitialize(nullptr))) {
            *error = "CoInitialize failed";
            return false;
        }
        comInitialised_ = true;
        ConfigureSimulatedCard(options_);
        name_ = options_.driver.empty() ? FirstRegisteredDriver() : Widen(options_.driver);
        if (name_.empty() || !FindDriverClass(name_, &clsid_)) {
            *error = "no driver registered under HKLM\\SOFTWARE\\ASIO" + std::string(name_.empty() ? "" : "\\") +
                     Narrow(name_);
            return false;
        }
        *found = true;
        driver_ = CreateRegisteredDriver(clsid_, &created_);
        if (driver_ == nullptr) {
            char text[64];
            snprintf(text, sizeof text, "CoCreateInstance failed (0x%08x)", static_cast<unsigned>(created_));
            *error = text;
        }
        return driver_ != nullptr;
    }

    ~RegisteredSession() override {
        if (driver_ != nullptr) driver_->Release();
        if (comInitialised_) CoUninitialize();
    }

    IASIO* driver() const override { return driver_; }

    void Describe(FILE* out) const override {
        if (options_.noCard) {
            fprintf(out, "Machine         no card\n");
        } else {
            fprintf(out, "Machine         one simulated card in the driver: %s, %u Hz, %u ms buffers",
                    cli::ModelOptionName(options_.model), options_.rate, options_.bufferMs);
            if (options_.loopback) {
                fprintf(out, "; loopback cable from output %d to input %d", options_.loopback->output,
                        options_.loopback->input);
            }
            fprintf(out, "\n");
        }
        if (options_.cardInUse) fprintf(out, "Other client    holds the card's claim\n");
        WCHAR guid[64] = {};
        StringFromGUID2(clsid_, guid, 64);
        fprintf(out, "ASIO key        HKLM\\SOFTWARE\\ASIO\\%s: CLSID %s\n", Narrow(name_).c_str(),
                Narrow(guid).c_str());
        fprintf(out, "Server          %s\n", Narrow(DriverServerPath(clsid_)).c_str());
        fprintf(out, "Driver object   CoCreateInstance, single-threaded apartment: created (0x%08x)\n",
                static_cast<unsigned>(created_));
    }

    // The card inside a driver is out of the host's sight.
    void ReportCard(FILE*) const override {}

    std::unique_ptr<StreamHost> NewStreamHost() override { return std::make_unique<StreamHost>(driver_, card_); }

    // The card exists once init has looked for it.
    bool BeforeStream(const StreamHost&, std::string* error) override {
        if (!published_.Open()) {
            *error = "the driver publishes no simulated card (not KorvexASIO-simcard.dll?)";
            return false;
        }
        wavWritesBefore_ = published_->wavWrites;
        return true;
    }

    bool LiveProgress() const override { return false; }

    bool SaveRecording(const StreamHost& host, FILE* out) override {
        if (options_.wav.empty()) return true;
        const bool written = published_ && published_->wavWrites > wavWritesBefore_;
        if (written) {
            fprintf(out, "WAV             %s: %d outputs, %llu frames, %u Hz, 32-bit\n", options_.wav.c_str(),
                    host.outputs(), static_cast<unsigned long long>(published_->recordedFrames),
                    published_->sampleRate);
        } else {
            fprintf(out, "WAV             %s: NOT WRITTEN\n", options_.wav.c_str());
        }
        return written;
    }

    bool Close(FILE* out) override {
        const ULONG references = driver_ != nullptr ? driver_->Release() : 0;
        driver_ = nullptr;
        fprintf(out, "Release         IASIO::Release -> %lu\n", static_cast<unsigned long>(references));
        return references == 0;
    }

private:
    SessionOptions options_;
    bool comInitialised_ = false;
    std::wstring name_;
    CLSID clsid_{};
    HRESULT created_ = E_FAIL;
    IASIO* driver_ = nullptr;
    simcard::StatusView published_;
    PublishedCard card_{published_};
    uint32_t wavWritesBefore_ = 0;
};

}  // namespace

std::unique_ptr<HostSession> HostSession::Open(const SessionOptions& options, std::string* error, bool* found) {
    auto session = std::make_unique<RegisteredSession>(options);
    if (!session->Create(error, found)) return nullptr;
    return session;
}

bool ParseSessionOption(const std::string& name, cli::Options& options, SessionOptions* session) {
    if (name != "--driver") return false;
    options.Value(&session->driver);
    return true;
}

void PrintSessionUsage(FILE* out) {
    fprintf(out,
            "  --driver NAME                the driver registered as HKLM\\SOFTWARE\\ASIO\\NAME\n"
            "                               (default: the first one registered)\n");
}

}  // namespace korvex::host
