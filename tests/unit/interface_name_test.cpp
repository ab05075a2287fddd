#include "service/devices.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>

namespace {

struct FreeDeleter {
    void operator()(WCHAR* p) const { free(p); }
};
using OwnedId = std::unique_ptr<WCHAR, FreeDeleter>;

struct ConversionCase {
    const char* what;
    const WCHAR* name;
    const WCHAR* expectedId;
};

TEST(InterfaceNameToInstanceId, UndoesTheInterfaceNameEncoding) {
    const ConversionCase cases[] = {
        {"typical name with reference string",
         L"\\\\?\\PCI#VEN_1412&DEV_1724&SUBSYS_24011722&REV_01#4&2A1B&0&00E0#"
         L"{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\wave",
         L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722&REV_01\\4&2A1B&0&00E0"},
        {"no reference string",
         L"\\\\?\\pci#ven_1412&dev_1724&subsys_24021721#5&1&0&00#{65e8773d-8f56-11d0-a3b9-00a0c9223196}",
         L"pci\\ven_1412&dev_1724&subsys_24021721\\5&1&0&00"},
        {"no '#' after the prefix: the whole remainder", L"\\\\?\\PCI\\VEN_1412&DEV_1724", L"PCI\\VEN_1412&DEV_1724"},
        {"the prefix is skipped unseen, '#' or not", L"####ABC", L"ABC"},
        {"only the last '#' ends the ID", L"\\\\?\\A#B#C#D", L"A\\B\\C"},
        {"'#' right after the prefix", L"\\\\?\\#{guid}", L""},
        {"exactly the prefix", L"\\\\?\\", L""},
        {"shorter than the prefix", L"\\\\?", L""},
        {"empty", L"", L""},
    };
    for (const ConversionCase& c : cases) {
        SCOPED_TRACE(c.what);
        size_t length = 0;
        OwnedId id(InterfaceNameToInstanceId(c.name, &length));
        ASSERT_NE(id, nullptr);
        EXPECT_EQ(std::wstring(id.get()), std::wstring(c.expectedId));
        // The length counts the terminator, and the terminator is where it says.
        EXPECT_EQ(length, wcslen(c.expectedId) + 1);
        EXPECT_EQ(id.get()[length - 1], L'\0');
    }
}

struct SupportCase {
    const char* what;
    const WCHAR* name;
    bool supported;
};

TEST(InterfaceNameToInstanceId, DerivedIdIsJudgedByItsHardwareId) {
    const SupportCase cases[] = {
        {"listed subsystem, upper case",
         L"\\\\?\\PCI#VEN_1412&DEV_1724&SUBSYS_24011721&REV_01#4&2A1B&0&00E0#{6994ad04-93ef-11d0-a3cc-00a0c9223196}",
         true},
        {"listed subsystem, lower case",
         L"\\\\?\\pci#ven_1412&dev_1724&subsys_00000000&rev_01#4&2a1b&0&00e0#{6994ad04-93ef-11d0-a3cc-00a0c9223196}",
         true},
        {"the last listed subsystem", L"\\\\?\\PCI#VEN_1412&DEV_1724&SUBSYS_24021722#1#{guid}", true},
        {"subsystem outside the five", L"\\\\?\\PCI#VEN_1412&DEV_1724&SUBSYS_24011723&REV_01#4&1#{guid}", false},
        {"another vendor", L"\\\\?\\PCI#VEN_8086&DEV_1724&SUBSYS_24011721&REV_01#4&1#{guid}", false},
        {"a USB device", L"\\\\?\\USB#VID_1412&PID_1724#5&1#{guid}", false},
        {"ID cut short by the last '#'", L"\\\\?\\PCI#VEN_1412&DEV_1724&SUBSYS_2401#1721", false},
        {"too short to hold a hardware ID", L"\\\\?", false},
    };
    for (const SupportCase& c : cases) {
        SCOPED_TRACE(c.what);
        size_t length = 0;
        OwnedId id(InterfaceNameToInstanceId(c.name, &length));
        EXPECT_EQ(IsSupportedCard(id.get()), c.supported);
    }
}

}  // namespace
