// Device files: opening a card's interface, requests to its driver, closing.
#include "sim/machine.h"
#include "tests/sim/card_client.h"

#include <gtest/gtest.h>

namespace {

using simtest::CardFile;
constexpr DWORD kSharingViolation = 32;

class DeviceFile : public simtest::LeakCheck {
protected:
    sim::Machine machine;
};

TEST_F(DeviceFile, OpenReachesTheDriverAndCloseEndsTheOpen) {
    sim::Card& card = machine.AddCard();
    const int baseline = kwin::OpenHandles().deviceFiles;
    {
        CardFile wave(card);
        std::wstring upper = card.InterfacePath(0);
        for (auto& c : upper) c = static_cast<WCHAR>(std::towupper(c));
        CardFile topology(upper);  // paths compare without regard to case
        ASSERT_TRUE(wave.IsOpen());
        ASSERT_TRUE(topology.IsOpen());
        EXPECT_EQ(card.OpenFiles(), 2);
        EXPECT_EQ(kwin::OpenHandles().deviceFiles, baseline + 2);
        uint8_t inUse = 0xFF;
        EXPECT_EQ(wave.InUse(&inUse), ERROR_SUCCESS);
        EXPECT_EQ(inUse, 0);
        wave.Close();
        EXPECT_EQ(card.OpenFiles(), 1);
    }
    EXPECT_EQ(card.OpenFiles(), 0);
}

TEST_F(DeviceFile, OpenFailures) {
    sim::Card& refusing = machine.AddCard({.openError = ERROR_ACCESS_DENIED});
    sim::Card& card = machine.AddCard();
    struct Case {
        std::wstring path;
        DWORD error;
    } cases[] = {
        {refusing.InterfacePath(1), ERROR_ACCESS_DENIED},
        {card.InterfacePath(1) + L"x", ERROR_FILE_NOT_FOUND},
        {card.InterfacePath(2), ERROR_FILE_NOT_FOUND},  // the card has two interfaces
        {L"C:\\file.txt", ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        CardFile file(c.path);
        EXPECT_FALSE(file.IsOpen());
        EXPECT_EQ(GetLastError(), c.error);
    }
    kwin::FailCall("CreateFileW", 1, kSharingViolation);
    CardFile injected(card);
    EXPECT_FALSE(injected.IsOpen());
    EXPECT_EQ(GetLastError(), kSharingViolation);
    EXPECT_EQ(refusing.OpenFiles() + card.OpenFiles(), 0);
}

TEST_F(DeviceFile, RequestsNeedADeviceHandleAndReportTheDriversError) {
    sim::Card& card = machine.AddCard();
    CardFile file(card);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    uint8_t byte = 0;
    for (HANDLE notADevice : {INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr), event}) {
        EXPECT_EQ(simtest::Request(notADevice, sim::devctl::kInUse, KSPROPERTY_TYPE_GET, &byte, 1), ERROR_INVALID_HANDLE);
    }
    CloseHandle(event);

    card.FailRequest(sim::devctl::kInUse, ERROR_GEN_FAILURE);
    EXPECT_EQ(file.InUse(&byte), ERROR_GEN_FAILURE);
    kwin::FailCall("DeviceIoControl", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(file.InUse(&byte), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(file.InUse(&byte), ERROR_SUCCESS);
    EXPECT_EQ(card.RequestCount(), 2u);  // the injected call never reached the card
}

TEST_F(DeviceFile, RemovedCardKeepsItsOpenHandlesButAnswersNoMore) {
    sim::Card& card = machine.AddCard();
    CardFile file(card);
    ASSERT_EQ(file.Claim(1), ERROR_SUCCESS);
    machine.RemoveCard(card);
    EXPECT_TRUE(machine.Cards().empty());
    uint8_t byte = 0;
    EXPECT_EQ(file.InUse(&byte), sim::kErrorDeviceRemoved);
    CardFile again(card);
    EXPECT_FALSE(again.IsOpen());
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace
