// A simulated machine and driver objects made the way a host makes them
// (DllGetClassObject, CreateInstance), with checks that everything the test
// opened was closed again.
#pragma once

#include "asio/com/exports.h"
#include "asio/com/server_counts.h"
#include "asio/driver/asio.h"
#include "asio/driver/driver.h"
#include "platform/posix/kernel.h"
#include "sim/card.h"
#include "sim/devctl.h"
#include "sim/machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

namespace simtest {

class DriverTest : public testing::Test {
protected:
    void SetUp() override {
        machine.emplace();
        baselineHandles = kwin::OpenHandles();
        baselinePeriods = kwin::ActiveTimerPeriods();
        baselineLive = korvex::liveObjectCount;
        baselineAvrt = kwin::Avrt().loadedReferences;
    }

    void TearDown() override {
        for (IASIO* driver : drivers_) {
            if (driver != nullptr) driver->Release();
        }
        drivers_.clear();
        EXPECT_EQ(kwin::OpenHandles(), baselineHandles) << "handles left open";
        EXPECT_EQ(kwin::ActiveTimerPeriods(), baselinePeriods) << "timer period left raised";
        EXPECT_EQ(korvex::liveObjectCount, baselineLive) << "driver object left alive";
        EXPECT_EQ(kwin::Avrt().loadedReferences, baselineAvrt) << "avrt.dll left loaded";
        machine.reset();
    }

    // A driver object as a host creates it. The fixture releases it at the
    // end unless the test did so through Release().
    IASIO* CreateDriver() {
        IClassFactory* factory = nullptr;
        EXPECT_EQ(DllGetClassObject(CLSID_KorvexAsio, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
        if (factory == nullptr) return nullptr;
        IASIO* driver = nullptr;
        EXPECT_EQ(factory->CreateInstance(nullptr, CLSID_KorvexAsio, reinterpret_cast<void**>(&driver)), S_OK);
        factory->Release();
        drivers_.push_back(driver);
        return driver;
    }

    // Drops the host's reference now (destruction runs inside).
    void Release(IASIO* driver) {
        for (IASIO*& held : drivers_) {
            if (held == driver) held = nullptr;
        }
        EXPECT_EQ(driver->Release(), 0u);
    }

    // The host's reference was dropped elsewhere (for instance by the host
    // itself inside a callback): the fixture leaves the driver alone.
    void Forget(IASIO* driver) {
        for (IASIO*& held : drivers_) {
            if (held == driver) held = nullptr;
        }
    }

    // The object behind the interface, for looking at its fields.
    static korvex::AsioDriver& Object(IASIO* driver) { return *static_cast<korvex::AsioDriver*>(driver); }

    static std::vector<uint32_t> Ids(const sim::Card& card) { return card.RequestIds(); }

    // The control block carried by a recorded DEVCTL_CONTROL request.
    static sim::devctl::ControlBlock Block(const sim::CardRequest& request) {
        sim::devctl::ControlBlock block{};
        EXPECT_EQ(request.id, sim::devctl::kControl);
        EXPECT_EQ(request.value.size(), block.size());
        if (request.value.size() == block.size()) memcpy(block.data(), request.value.data(), block.size());
        return block;
    }

    std::optional<sim::Machine> machine;
    kwin::HandleCounts baselineHandles;
    int baselinePeriods = 0;
    LONG baselineLive = 0;
    int baselineAvrt = 0;

private:
    std::vector<IASIO*> drivers_;
};

}  // namespace simtest
