// The Linux side of the host seam: a simulated machine with one card (or
// none), and the driver library loaded by path as a host loads a driver.
#include "platform/posix/kernel.h"
#include "sim/machine.h"
#include "tools/korvex-sim/card_report.h"
#include "tools/korvex-sim/driver_module.h"
#include "tools/korvex-sim/host_session.h"
#include "tools/korvex-sim/host_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace korvex::host {
namespace {

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

class SimulatedSession final : public HostSession {
public:
    explicit SimulatedSession(const SessionOptions& options)
        : options_(options), library_(options.library.empty() ? DriverModule::DefaultPath() : options.library) {
        if (!options.noCard) {
            sim::CardConfig config;
            config.model = options.model;
            config.sampleRate = options.rate;
            config.bufferMs = options.bufferMs;
            config.loopback = options.loopback;
            config.tone = options.tone;
            if (options.streamSeconds > 0) {
                const uint32_t framesGuess = std::max<uint32_t>(1, options.rate / 1000 * options.bufferMs);
                const double halvesGuess = options.streamSeconds * options.rate / framesGuess;
                config.stampCapacity = static_cast<size_t>(halvesGuess * 1.1) + 1024;
            }
            card_ = &machine_.AddCard(config);
        }
        if (card_ != nullptr && options.cardInUse) {
            otherClaim_ = ClaimAsOtherClient(*card_, &otherFile_);
            if (card_->RequestCount() > 0) otherFileId_ = card_->Requests().front().fileId;
        }
        handlesBefore_ = kwin::OpenHandles();
        module_.emplace(library_);
    }

    bool Create(std::string* error, bool* found) {
        *found = module_->loaded();
        if (!module_->loaded()) {
            *error = "cannot load " + library_ + ": " + module_->error();
            return false;
        }
        driver_ = module_->CreateDriver(&created_);
        if (driver_ == nullptr) {
            char text[96];
            snprintf(text, sizeof text, "the class factory did not create the driver (0x%08x)",
                     static_cast<unsigned>(created_));
            *error = text;
        }
        return driver_ != nullptr;
    }

    ~SimulatedSession() override {
        if (driver_ != nullptr) driver_->Release();
        if (otherFile_ != INVALID_HANDLE_VALUE) CloseHandle(otherFile_);
    }

    IASIO* driver() const override { return driver_; }

    void Describe(FILE* out) const override {
        if (card_ == nullptr) {
            fprintf(out, "Machine         no card\n");
        } else {
            fprintf(out, "Machine         one card: %s, %u Hz, %u ms buffers", card_->model().name, options_.rate,
                    options_.bufferMs);
            if (const auto cable = card_->Loopback()) {
                fprintf(out, "; loopback cable from output %d to input %d", cable->output, cable->input);
            }
            fprintf(out, "\n                instance %s\n", Narrow(card_->InstanceId()).c_str());
        }
        if (options_.cardInUse && card_ != nullptr) {
            fprintf(out, "Other client    opened the card and claimed it: %s\n",
                    otherClaim_ == ERROR_SUCCESS ? "claimed" : ("failed, error " + std::to_string(otherClaim_)).c_str());
        }
        fprintf(out, "Library         %s\n", library_.c_str());
        fprintf(out, "Driver object   DllGetClassObject, IClassFactory::CreateInstance: created (0x%08x)\n",
                static_cast<unsigned>(created_));
    }

    std::unique_ptr<StreamHost> NewStreamHost() override {
        return card_ ? std::make_unique<StreamHost>(driver_, *card_) : nullptr;
    }

    bool BeforeStream(const StreamHost& host, std::string*) override {
        if (!options_.wav.empty()) {
            card_->StartRecording(static_cast<size_t>(std::ceil(options_.streamSeconds * 1.05 * options_.rate)) +
                                  8 * static_cast<size_t>(host.bufferSize()));
        }
        return true;
    }

    bool LiveProgress() const override { return isatty(fileno(stdout)) != 0; }

    bool SaveRecording(const StreamHost& host, FILE* out) override {
        if (options_.wav.empty()) return true;
        std::vector<int> played;
        for (int32_t i = 0; i < host.outputs(); ++i) played.push_back(i);
        const bool saved = card_->SaveRecording(options_.wav, played, 32);
        if (saved) {
            fprintf(out, "WAV             %s: %d outputs, %zu frames, %u Hz, 32-bit\n", options_.wav.c_str(),
                    host.outputs(), card_->RecordedFrames(), card_->SampleRate());
        } else {
            fprintf(out, "WAV             %s: NOT WRITTEN\n", options_.wav.c_str());
        }
        return saved;
    }

    void ReportCard(FILE* out) const override {
        if (card_ == nullptr) {
            fprintf(out, "Card            not present: the machine has no card to claim\n");
            return;
        }
        const std::optional<uint64_t> holder = card_->ClaimedBy();
        if (!holder) {
            fprintf(out, "Claim           not claimed: the card is free\n");
        } else if (otherFileId_ && *holder == *otherFileId_) {
            fprintf(out, "Claim           not taken by the driver: the card answered in use, held by the other client\n");
        } else {
            fprintf(out, "Claim           claimed by the driver\n");
        }
    }

    bool Close(FILE* out) override {
        const kwin::HandleCounts during = kwin::OpenHandles();
        const size_t releasedAt = card_ ? card_->RequestCount() : 0;
        const ULONG references = driver_ != nullptr ? driver_->Release() : 0;
        driver_ = nullptr;
        const kwin::HandleCounts after = kwin::OpenHandles();
        const bool closed = after == handlesBefore_;
        if (!options_.fullReport) {
            fprintf(out, "Release         IASIO::Release -> %lu; handles %s\n", static_cast<unsigned long>(references),
                    closed ? "all closed" : "LEFT OPEN");
            return references == 0 && closed;
        }
        fprintf(out, "Release         IASIO::Release -> %lu\n", static_cast<unsigned long>(references));
        fflush(out);
        if (card_ != nullptr) PrintRequests(card_->Requests(), releasedAt, otherFileId_);
        const HRESULT unload = module_->CanUnloadNow();
        fprintf(out, "\nOpen handles    before the driver %s\n", Counts(handlesBefore_).c_str());
        fprintf(out, "                with the driver   %s\n", Counts(during).c_str());
        fprintf(out, "                after release     %s\n", Counts(after).c_str());
        fprintf(out, "DllCanUnloadNow %s\n", unload == S_OK ? "S_OK" : unload == S_FALSE ? "S_FALSE" : "other");
        fprintf(out, "Result          %s\n", closed ? "every handle the driver opened is closed"
                                                  : "HANDLES LEFT OPEN by the driver");
        return closed;
    }

private:
    SessionOptions options_;
    std::string library_;
    sim::Machine machine_;
    sim::Card* card_ = nullptr;
    HANDLE otherFile_ = INVALID_HANDLE_VALUE;
    DWORD otherClaim_ = ERROR_SUCCESS;
    std::optional<uint64_t> otherFileId_;
    kwin::HandleCounts handlesBefore_;
    std::optional<DriverModule> module_;
    HRESULT created_ = E_FAIL;
    IASIO* driver_ = nullptr;
};

}  // namespace

std::unique_ptr<HostSession> HostSession::Open(const SessionOptions& options, std::string* error, bool* found) {
    auto session = std::make_unique<SimulatedSession>(options);
    if (!session->Create(error, found)) return nullptr;
    return session;
}

bool ParseSessionOption(const std::string& name, cli::Options& options, SessionOptions* session) {
    if (name != "--library") return false;
    options.Value(&session->library);
    return true;
}

void PrintSessionUsage(FILE* out) {
    fprintf(out, "  --library PATH               the driver library (default: the one built)\n");
}

}  // namespace korvex::host
