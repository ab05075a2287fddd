// The status that the simulated card inside KorvexASIO-simcard.dll publishes
// (status.h), read from a program that loaded the DLL: the tests and
// korvex-sim.exe stream.
#pragma once

#include "platform/win32.h"
#include "tests/wine/simcard/status.h"

#include <cstdint>

namespace korvex::simcard {

// A read-only view of the card's status; empty until the driver looked for cards.
class StatusView {
public:
    StatusView() = default;
    ~StatusView() { Close(); }
    StatusView(const StatusView&) = delete;
    StatusView& operator=(const StatusView&) = delete;

    bool Open() {
        Close();
        mapping_ = OpenFileMappingW(FILE_MAP_READ, FALSE, StatusName(GetCurrentProcessId()).c_str());
        if (mapping_ == nullptr) return false;
        status_ = static_cast<const Status*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, sizeof(Status)));
        return status_ != nullptr && status_->magic == kStatusMagic;
    }
    void Close() {
        if (status_ != nullptr) UnmapViewOfFile(status_);
        if (mapping_ != nullptr) CloseHandle(mapping_);
        status_ = nullptr;
        mapping_ = nullptr;
    }
    const Status* operator->() const { return status_; }
    explicit operator bool() const { return status_ != nullptr; }
    // Signal time (monotonic ns), half and deadline of a signalled half still kept.
    bool Stamp(uint64_t sequence, uint64_t* ns, int* half, uint64_t* dueNs = nullptr) const {
        if (status_ == nullptr || sequence >= status_->halvesSignalled ||
            sequence + kStatusStamps < status_->halvesSignalled) {
            return false;
        }
        const uint64_t value = status_->stamps[sequence % kStatusStamps];
        *ns = value >> 1;
        *half = static_cast<int>(value & 1);
        if (dueNs != nullptr) *dueNs = status_->dues[sequence % kStatusStamps];
        return true;
    }

private:
    HANDLE mapping_ = nullptr;
    const Status* status_ = nullptr;
};

}  // namespace korvex::simcard
