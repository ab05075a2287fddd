// The Linux side of the host seam: a simulated machine with one card, and
// the driver library loaded by path as a host loads a driver.
#include "platform/posix/kernel.h"
#include "sim/machine.h"
#include "tools/korvex-sim/driver_module.h"
#include "tools/korvex-sim/host_session.h"

namespace korvex::host {
namespace {

class SimulatedSession final : public HostSession {
public:
    explicit SimulatedSession(const SessionOptions& options)
        : library_(options.library.empty() ? DriverModule::DefaultPath() : options.library) {
        sim::CardConfig config;
        config.model = options.model;
        config.sampleRate = options.rate;
        config.bufferMs = options.bufferMs;
        config.loopback = options.loopback;
        card_ = &machine_.AddCard(config);
        handlesBefore_ = kwin::OpenHandles();
        module_.emplace(library_);
    }

    bool Create(std::string* error) {
        if (!module_->loaded()) {
            *error = "cannot load " + library_ + ": " + module_->error();
            return false;
        }
        HRESULT created = E_FAIL;
        driver_ = module_->CreateDriver(&created);
        if (driver_ == nullptr) {
            char text[96];
            snprintf(text, sizeof text, "the class factory did not create the driver (0x%08x)",
                     static_cast<unsigned>(created));
            *error = text;
        }
        return driver_ != nullptr;
    }

    ~SimulatedSession() override {
        if (driver_ != nullptr) driver_->Release();
    }

    IASIO* driver() const override { return driver_; }

    void Describe(FILE* out) const override {
        const sim::CardConfig& config = card_->config();
        fprintf(out, "Machine         one simulated card: %s, %u Hz, %u ms preferred buffers", card_->model().name,
                config.sampleRate, config.bufferMs);
        if (const auto cable = card_->Loopback()) {
            fprintf(out, "; loopback cable from output %d to input %d", cable->output, cable->input);
        }
        fprintf(out, "\nDriver          %s\n", library_.c_str());
    }

    bool Close(FILE* out) override {
        const ULONG references = driver_ != nullptr ? driver_->Release() : 0;
        driver_ = nullptr;
        const bool closed = kwin::OpenHandles() == handlesBefore_;
        fprintf(out, "Release         IASIO::Release -> %lu; handles %s\n", static_cast<unsigned long>(references),
                closed ? "all closed" : "LEFT OPEN");
        return references == 0 && closed;
    }

private:
    std::string library_;
    sim::Machine machine_;
    sim::Card* card_ = nullptr;
    kwin::HandleCounts handlesBefore_;
    std::optional<DriverModule> module_;
    IASIO* driver_ = nullptr;
};

}  // namespace

std::unique_ptr<HostSession> HostSession::Open(const SessionOptions& options, std::string* error) {
    auto session = std::make_unique<SimulatedSession>(options);
    if (!session->Create(error)) return nullptr;
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
