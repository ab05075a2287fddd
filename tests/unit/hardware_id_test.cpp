#include "asio/driver/models.h"
#include "common/hardware_ids.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct MatchCase {
    const wchar_t* text;
    int expectedRow;  // -1: not supported
};

TEST(HardwareIdMatch, AcceptsTheFiveIdsInAnyCaseWithSuffixes) {
    const MatchCase cases[] = {
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011721", 0},
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722&REV_01", 1},
        {L"pci\\ven_1412&dev_1724&subsys_00000000", 2},
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_24021721\\4&2A1B&0&00E0", 3},
        {L"Pci\\Ven_1412&Dev_1724&SubSys_24021722", 4},
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011723", -1},  // subsystem differs
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_2401172", -1},   // one character short
        {L"PCI\\VEN_1412&DEV_1724", -1},
        {L"", -1},
        {L"USB\\VID_1412&PID_1724", -1},
    };
    for (const MatchCase& c : cases) {
        SCOPED_TRACE(std::wstring(c.text).size());
        EXPECT_EQ(korvex::SupportedHardwareIdIndex(c.text), c.expectedRow);
        EXPECT_EQ(IsSupportedHardwareId(c.text), c.expectedRow >= 0);
    }
    EXPECT_FALSE(IsSupportedHardwareId(nullptr));
}

TEST(HardwareIdMatch, FoldsOnlyAsciiLetters) {
    // U+0130 (capital I with dot) must not fold onto 'I' or 'i'.
    EXPECT_FALSE(IsSupportedHardwareId(L"PC\u0130\\VEN_1412&DEV_1724&SUBSYS_24011721"));
}

TEST(CardModels, RowsGiveNamesAndChannelCounts) {
    struct Row {
        const wchar_t* instanceId;
        const char* name;
        int outputs;
    };
    const Row rows[] = {
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011721\\1", "SAVANTIX Lyrenta Pico", 2},
        {L"pci\\ven_1412&dev_1724&subsys_24011722\\1", "SAVANTIX Lyrenta Six", 6},
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_00000000\\1", "SAVANTIX Lyrenta Duo", 2},
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_24021721\\1", "SAVANTIX Lyrenta Duo", 2},
        {L"PCI\\VEN_1412&DEV_1724&SUBSYS_24021722\\1", "SAVANTIX Lyrenta Eight", 8},
    };
    for (const Row& row : rows) {
        int index = korvex::CardModelRow(row.instanceId);
        ASSERT_GE(index, 0) << row.name;
        EXPECT_STREQ(korvex::kCardModels[index].driverName, row.name);
        EXPECT_EQ(korvex::kCardModels[index].inputs, 2);
        EXPECT_EQ(korvex::kCardModels[index].outputs, row.outputs);
    }
    EXPECT_EQ(korvex::CardModelRow(nullptr), -1);
    EXPECT_EQ(korvex::CardModelRow(L"PCI\\VEN_1412&DEV_1724&SUBSYS_99999999\\1"), -1);
}

TEST(CopyBounded, TruncatesAndTerminates) {
    char buffer[8];
    memset(buffer, 'x', sizeof(buffer));
    korvex::CopyBounded(buffer, sizeof(buffer), "0123456789");
    EXPECT_STREQ(buffer, "0123456");
    korvex::CopyBounded(buffer, sizeof(buffer), "");
    EXPECT_STREQ(buffer, "");
}

}  // namespace
