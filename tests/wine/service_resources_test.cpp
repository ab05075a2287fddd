// The resources of KorvexS.exe read back from the file: the message table as
// an event viewer renders it in each of its three languages, and the
// manifest.
//
//   service_resources_test [path\to\KorvexS.exe]   (default: beside the program)
#include "tests/wine/module_path.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using korvex::wine_test::Narrow;

std::wstring exePath;

constexpr WORD kEnglish = 0x0409;
constexpr WORD kSimplified = 0x0004;
constexpr WORD kTraditional = 0x7C04;

// RT_MESSAGETABLE and RT_MANIFEST, wide whatever UNICODE says.
const LPCWSTR kMessageTableType = MAKEINTRESOURCEW(11);
const LPCWSTR kManifestType = MAKEINTRESOURCEW(24);

class ServiceResources : public ::testing::Test {
protected:
    void SetUp() override {
        module = LoadLibraryExW(exePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr) << "cannot load " << Narrow(exePath) << ", error " << GetLastError();
    }
    void TearDown() override {
        if (module) FreeLibrary(module);
    }

    // FormatMessageW of the module with %1 = "KorvexS" and %2 = `text`, or
    // "<error N>".
    std::wstring Format(DWORD id, WORD language, const wchar_t* text) {
        const wchar_t* inserts[] = {L"KorvexS", text};
        DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(inserts[0]), reinterpret_cast<DWORD_PTR>(inserts[1])};
        wchar_t buffer[512] = {};
        DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id,
                                      language, buffer, static_cast<DWORD>(std::size(buffer)),
                                      reinterpret_cast<va_list*>(arguments));
        if (length == 0) return L"<error " + std::to_wstring(GetLastError()) + L">";
        return std::wstring(buffer, length);
    }

    // The bytes of resource (type, name) in exactly `language`, or empty.
    std::string Resource(LPCWSTR type, LPCWSTR name, WORD language) {
        HRSRC info = FindResourceExW(module, type, name, language);
        if (!info) return {};
        HGLOBAL loaded = LoadResource(module, info);
        const void* data = loaded ? LockResource(loaded) : nullptr;
        if (!data) return {};
        return std::string(static_cast<const char*>(data), SizeofResource(module, info));
    }

    HMODULE module = nullptr;
};

const wchar_t kInstanceId[] = L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722\\4&2A1B&0&00E0";

struct Documented {
    const char* name;
    DWORD id;
    // Each text around the inserted %2.
    const wchar_t* english[2];
    const wchar_t* simplified[2];
    const wchar_t* traditional[2];
};

const Documented kDocumented[] = {
    {"MSG_DEVICE_ARRIVED", 0x40000002,
     {L"A device (", L") has arrival."}, {L"设备 (", L") 已增加。"}, {L"設備 (", L") 已添加。"}},
    {"MSG_QUERY_REMOVE", 0x40000003,
     {L"Query remove device (", L")."}, {L"准备删除设备 (", L")。"}, {L"準備移除設備 (", L")。"}},
    {"MSG_QUERY_REMOVE_FAILED", 0x40000004,
     {L"Query remove device (", L") failed."}, {L"准备删除设备 (", L") 失败。"}, {L"準備移除設備 (", L") 失敗。"}},
    {"MSG_REMOVE_COMPLETE", 0x40000005,
     {L"Remove device (", L") complete."}, {L"删除设备 (", L") 完成。"}, {L"移除設備 (", L") 完成。"}},
    {"MSG_DEVICE_FOUND", 0x40000006,
     {L"Found device (", L")."}, {L"发现设备 (", L")。"}, {L"發現設備 (", L")。"}},
    {"MSG_ERROR", 0xC0020001,
     {L"An error has occurred (", L")."}, {L"发生了一个错误 (", L")。"}, {L"發生了一個錯誤 (", L")。"}},
};

TEST_F(ServiceResources, EveryMessageFormatsAsDocumentedInEachLanguage) {
    for (const Documented& message : kDocumented) {
        SCOPED_TRACE(message.name);
        struct {
            WORD language;
            const wchar_t* const* parts;
        } languages[] = {{kEnglish, message.english},
                         {kSimplified, message.simplified},
                         {kTraditional, message.traditional}};
        for (const auto& [language, parts] : languages) {
            SCOPED_TRACE(language);
            std::wstring expected = std::wstring(parts[0]) + kInstanceId + parts[1] + L"\r\n";
            EXPECT_EQ(Narrow(Format(message.id, language, kInstanceId)), Narrow(expected));
        }
    }
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR context) {
    reinterpret_cast<std::set<WORD>*>(context)->insert(language);
    return TRUE;
}

BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR context) {
    auto* names = reinterpret_cast<std::vector<ULONG_PTR>*>(context);
    names->push_back(IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name) : ~ULONG_PTR{0});
    return TRUE;
}

// Not a fallback: the table is stored under exactly these three languages.
TEST_F(ServiceResources, MessageTableIsResourceOneInExactlyThreeLanguages) {
    std::vector<ULONG_PTR> names;
    EnumResourceNamesW(module, kMessageTableType, CollectName, reinterpret_cast<LONG_PTR>(&names));
    EXPECT_EQ(names, std::vector<ULONG_PTR>{1});

    std::set<WORD> languages;
    EnumResourceLanguagesW(module, kMessageTableType, MAKEINTRESOURCEW(1), CollectLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(languages, (std::set<WORD>{kEnglish, kSimplified, kTraditional}));
}

// Two blocks of UTF-16 entries: 0x40000002..0x40000006 and 0xC0020001.
TEST_F(ServiceResources, MessageTableLayout) {
    for (WORD language : {kEnglish, kSimplified, kTraditional}) {
        SCOPED_TRACE(language);
        std::string bytes = Resource(kMessageTableType, MAKEINTRESOURCEW(1), language);
        ASSERT_GE(bytes.size(), sizeof(DWORD) + 2 * sizeof(MESSAGE_RESOURCE_BLOCK));
        auto* data = reinterpret_cast<const MESSAGE_RESOURCE_DATA*>(bytes.data());
        ASSERT_EQ(data->NumberOfBlocks, 2u);
        EXPECT_EQ(data->Blocks[0].LowId, 0x40000002u);
        EXPECT_EQ(data->Blocks[0].HighId, 0x40000006u);
        EXPECT_EQ(data->Blocks[1].LowId, 0xC0020001u);
        EXPECT_EQ(data->Blocks[1].HighId, 0xC0020001u);
        for (DWORD b = 0; b < 2; ++b) {
            DWORD offset = data->Blocks[b].OffsetToEntries;
            for (DWORD id = data->Blocks[b].LowId; id <= data->Blocks[b].HighId; ++id) {
                ASSERT_LE(offset + sizeof(WORD) * 2, bytes.size());
                auto* entry = reinterpret_cast<const MESSAGE_RESOURCE_ENTRY*>(bytes.data() + offset);
                EXPECT_EQ(entry->Flags, 1u) << "entry " << std::hex << id << " is not UTF-16";
                ASSERT_GT(entry->Length, 0u);
                offset += entry->Length;
            }
            ASSERT_LE(offset, bytes.size());
        }
    }
}

TEST_F(ServiceResources, ManifestRunsAsInvokerWithoutUiAccess) {
    std::vector<ULONG_PTR> names;
    EnumResourceNamesW(module, kManifestType, CollectName, reinterpret_cast<LONG_PTR>(&names));
    EXPECT_EQ(names, std::vector<ULONG_PTR>{1});

    HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(1), kManifestType);
    ASSERT_NE(info, nullptr);
    HGLOBAL loaded = LoadResource(module, info);
    ASSERT_NE(loaded, nullptr);
    std::string manifest(static_cast<const char*>(LockResource(loaded)), SizeofResource(module, info));

    size_t element = manifest.find("<requestedExecutionLevel");
    ASSERT_NE(element, std::string::npos) << manifest;
    ASSERT_EQ(manifest.find("<requestedExecutionLevel", element + 1), std::string::npos) << manifest;
    std::string tag = manifest.substr(element, manifest.find('>', element) - element);
    EXPECT_NE(tag.find("level=\"asInvoker\""), std::string::npos) << tag;
    EXPECT_NE(tag.find("uiAccess=\"false\""), std::string::npos) << tag;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    exePath = korvex::wine_test::TargetPath(argc, argv, L"KorvexS.exe");
    return RUN_ALL_TESTS();
}
