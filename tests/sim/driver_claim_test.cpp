// Construction and destruction of the driver object on machines with and
// without cards: what it opens, claims, sends and closes.
#include "tests/sim/driver_fixture.h"

namespace {

using sim::devctl::kClaim;
using sim::devctl::kControl;
using sim::devctl::kInUse;
using sim::devctl::kStop;
using IdList = std::vector<uint32_t>;

class DriverClaim : public simtest::DriverTest {};

TEST_F(DriverClaim, OneFreeCardIsClaimedAndGivenBack) {
    sim::Card& card = machine->AddCard();
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    korvex::AsioDriver& object = Object(driver);
    EXPECT_EQ(object.deviceCount, 1);
    ASSERT_NE(object.devices, nullptr);
    EXPECT_NE(object.devices[0].device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::wstring(object.devices[0].instanceId), card.InstanceId());
    EXPECT_FALSE(object.notPresent);
    EXPECT_EQ(Ids(card), (IdList{kInUse, kClaim}));
    EXPECT_EQ(card.Requests()[1].value, (std::vector<uint8_t>{1}));
    EXPECT_EQ(kwin::ActiveTimerPeriods(), baselinePeriods + 1);
    EXPECT_EQ(kwin::Avrt().loadedReferences, baselineAvrt + 1);

    card.ClearRequests();
    Release(driver);
    EXPECT_EQ(Ids(card), (IdList{kControl, kStop, kClaim}));
    EXPECT_EQ(card.Requests()[2].value, (std::vector<uint8_t>{0}));
    EXPECT_FALSE(card.ClaimedBy().has_value());
}

}  // namespace
