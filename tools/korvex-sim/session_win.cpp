// The Windows side of the host seam: the driver registered under
// HKLM\SOFTWARE\ASIO, created with CoCreateInstance in this thread's
// single-threaded apartment, as every ASIO host finds a driver. The card
// options go to the test build of the driver with the simulated card inside
// (KorvexASIO-simcard.dll), read when it first looks for cards; a real
// driver and a real card ignore them.
#include "tools/korvex-sim/driver_registry.h"
#include "tools/korvex-sim/host_session.h"

#include <string>

namespace korvex::host {
namespace {

void ConfigureSimulatedCard(const SessionOptions& o) {
    SetEnvironmentVariableA("KORVEX_SIMCARD_MODEL", cli::ModelOptionName(o.model));
    SetEnvironmentVariableA("KORVEX_SIMCARD_RATE", std::to_string(o.rate).c_str());
    SetEnvironmentVariableA("KORVEX_SIMCARD_BUFFER_MS", std::to_string(o.bufferMs).c_str());
    SetEnvironmentVariableA("KORVEX_SIMCARD_NO_CARD", nullptr);
    SetEnvironmentVariableA("KORVEX_SIMCARD_IN_USE", nullptr);
    const std::string cable =
        o.loopback ? std::to_string(o.loopback->output) + ":" + std::to_string(o.loopback->input) : std::string();
    SetEnvironmentVariableA("KORVEX_SIMCARD_LOOPBACK", o.loopback ? cable.c_str() : nullptr);
}

class RegisteredSession final : public HostSession {
public:
    explicit RegisteredSession(const SessionOptions& options) : options_(options) {}

    bool Create(std::string* error) {
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
        HRESULT created = E_FAIL;
        driver_ = CreateRegisteredDriver(clsid_, &created);
        if (driver_ == nullptr) {
            char text[64];
            snprintf(text, sizeof text, "CoCreateInstance failed (0x%08x)", static_cast<unsigned>(created));
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
        fprintf(out, "Machine         a simulated card, if the driver has one inside: %s, %u Hz, %u ms preferred buffers",
                cli::ModelOptionName(options_.model), options_.rate, options_.bufferMs);
        if (options_.loopback) {
            fprintf(out, "; loopback cable from output %d to input %d", options_.loopback->output,
                    options_.loopback->input);
        }
        WCHAR guid[64] = {};
        StringFromGUID2(clsid_, guid, 64);
        fprintf(out, "\nASIO key        HKLM\\SOFTWARE\\ASIO\\%s: CLSID %s\n", Narrow(name_).c_str(),
                Narrow(guid).c_str());
        fprintf(out, "Server          %s\n", Narrow(DriverServerPath(clsid_)).c_str());
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
    IASIO* driver_ = nullptr;
};

}  // namespace

std::unique_ptr<HostSession> HostSession::Open(const SessionOptions& options, std::string* error) {
    auto session = std::make_unique<RegisteredSession>(options);
    if (!session->Create(error)) return nullptr;
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
