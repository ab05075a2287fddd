// The service's message texts as the simulated machine renders them from the
// same message-compiler source the Windows build compiles, and the renderer
// itself on small sources.
#include "service/eventlog.h"
#include "sim/message_table.h"

#include "service_message_source.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using sim::Language;
using sim::MessageTable;

const std::wstring kInstanceId = L"PCI\\VEN_1412&DEV_1724&SUBSYS_24011722\\4&2A1B&0&00E0";

class ServiceMessages : public ::testing::Test {
protected:
    static void SetUpTestSuite() { table = new MessageTable(MessageTable::Parse(ServiceMessageSource())); }
    static void TearDownTestSuite() {
        delete table;
        table = nullptr;
    }
    static MessageTable* table;
};
MessageTable* ServiceMessages::table = nullptr;

struct Documented {
    const char* name;
    DWORD id;
    DWORD hardWired;  // the constant the service passes to ReportEventW
    // Each text around the inserted %2.
    const wchar_t* english[2];
    const wchar_t* simplified[2];
    const wchar_t* traditional[2];
};

const Documented kDocumented[] = {
    {"MSG_DEVICE_ARRIVED", 0x40000002, MSG_DEVICE_ARRIVED,
     {L"A device (", L") has arrival."}, {L"设备 (", L") 已增加。"}, {L"設備 (", L") 已添加。"}},
    {"MSG_QUERY_REMOVE", 0x40000003, MSG_QUERY_REMOVE,
     {L"Query remove device (", L")."}, {L"准备删除设备 (", L")。"}, {L"準備移除設備 (", L")。"}},
    {"MSG_QUERY_REMOVE_FAILED", 0x40000004, MSG_QUERY_REMOVE_FAILED,
     {L"Query remove device (", L") failed."}, {L"准备删除设备 (", L") 失败。"}, {L"準備移除設備 (", L") 失敗。"}},
    {"MSG_REMOVE_COMPLETE", 0x40000005, MSG_REMOVE_COMPLETE,
     {L"Remove device (", L") complete."}, {L"删除设备 (", L") 完成。"}, {L"移除設備 (", L") 完成。"}},
    {"MSG_DEVICE_FOUND", 0x40000006, MSG_DEVICE_FOUND,
     {L"Found device (", L")."}, {L"发现设备 (", L")。"}, {L"發現設備 (", L")。"}},
    {"MSG_ERROR", 0xC0020001, MSG_ERROR,
     {L"An error has occurred (", L")."}, {L"发生了一个错误 (", L")。"}, {L"發生了一個錯誤 (", L")。"}},
};

TEST_F(ServiceMessages, EveryTextInEveryLanguageRendersAsDocumented) {
    for (const Documented& message : kDocumented) {
        SCOPED_TRACE(message.name);
        struct {
            Language language;
            const wchar_t* const* parts;
        } languages[] = {{Language::English, message.english},
                         {Language::SimplifiedChinese, message.simplified},
                         {Language::TraditionalChinese, message.traditional}};
        for (const auto& [language, parts] : languages) {
            SCOPED_TRACE(sim::LanguageTag(language));
            std::wstring expected = parts[0] + kInstanceId + parts[1] + L"\r\n";
            EXPECT_EQ(table->Render(message.id, language, {L"KorvexS", kInstanceId}), expected);
        }
    }
}

TEST_F(ServiceMessages, ErrorEntryShowsTheFailingCallNotTheSource) {
    EXPECT_EQ(table->Render(MSG_ERROR, Language::English, {L"KorvexS", L"SetTokenInformation"}),
              L"An error has occurred (SetTokenInformation).\r\n");
}

TEST_F(ServiceMessages, IdsByNameMatchTheServiceConstantsAndTheDocumentedLayout) {
    std::set<DWORD> ids;
    for (const MessageTable::Message& message : table->Messages()) ids.insert(message.id);
    EXPECT_EQ(ids, (std::set<DWORD>{0x40000002, 0x40000003, 0x40000004, 0x40000005, 0x40000006, 0xC0020001}));

    for (const Documented& message : kDocumented) {
        SCOPED_TRACE(message.name);
        std::optional<DWORD> id = table->IdOf(message.name);
        ASSERT_TRUE(id.has_value());
        EXPECT_EQ(*id, message.id);
        EXPECT_EQ(*id, message.hardWired);
    }
    // Informational, facility 0, codes 2..6; error, facility 2, code 1.
    EXPECT_EQ(MSG_DEVICE_FOUND >> 30, 1u);
    EXPECT_EQ(MSG_ERROR >> 30, 3u);
    EXPECT_EQ((MSG_ERROR >> 16) & 0xFFF, 2u);
    EXPECT_EQ(MSG_ERROR & 0xFFFF, 1u);
    EXPECT_FALSE(table->IdOf("MSG_NOT_THERE").has_value());
}

TEST_F(ServiceMessages, EachMessageHasExactlyTheThreeLanguages) {
    for (const MessageTable::Message& message : table->Messages()) {
        SCOPED_TRACE(message.symbolicName);
        std::set<WORD> languages;
        for (const auto& [language, text] : message.texts) languages.insert(language);
        EXPECT_EQ(languages, (std::set<WORD>{0x0409, 0x0004, 0x7C04}));
    }
}

TEST(MessageLanguages, TagsAndResourceIds) {
    struct {
        Language language;
        const char* tag;
        WORD id;
    } cases[] = {{Language::English, "en", 0x0409},
                 {Language::SimplifiedChinese, "zh-Hans", 0x0004},
                 {Language::TraditionalChinese, "zh-Hant", 0x7C04}};
    for (const auto& c : cases) {
        EXPECT_STREQ(sim::LanguageTag(c.language), c.tag);
        EXPECT_EQ(sim::ResourceLanguageId(c.language), c.id);
        EXPECT_EQ(sim::LanguageFromTag(c.tag), c.language);
    }
    EXPECT_EQ(sim::LanguageFromTag("ZH-hans"), Language::SimplifiedChinese);
    EXPECT_FALSE(sim::LanguageFromTag("zh").has_value());
    EXPECT_FALSE(sim::LanguageFromTag("de").has_value());
}

// A source with the shapes the compiler accepts beyond what the service uses.
constexpr std::string_view kSmallSource =
    "; comment\n"
    "LanguageNames = ( English = 0x409 : MSG00409\n"
    "                  Taiwan=0x404:MSG00404 )\n"
    "FacilityNames=(Io=0x7:F_IO)\n"
    "MessageId=\n"
    "Severity=Warning\n"
    "Facility=Io\n"
    "SymbolicName=FIRST\n"
    "Language=English\n"
    "; not a comment here\n"
    "two lines\n"
    ".\n"
    "MessageId=+4\n"
    "SymbolicName=SECOND\n"
    "Language=Taiwan\n"
    "x\n"
    ".\n"
    "MessageId=0x20\n"
    "Severity=Success\n"
    "SymbolicName=ESCAPES\n"
    "Language=English\n"
    "[%1!s!|%10|%3|100%%|a%nb|%t|%.|%0 cut\n"
    ".\n";

TEST(MessageTableParse, IdsSeverityFacilityAndLineEndsFollowTheSource) {
    MessageTable table = MessageTable::Parse(kSmallSource);
    // First default ID 1; "+4" counts from the previous; severity and
    // facility carry over until changed.
    EXPECT_EQ(table.IdOf("FIRST"), DWORD{0x80070001});
    EXPECT_EQ(table.IdOf("SECOND"), DWORD{0x80070005});
    EXPECT_EQ(table.IdOf("ESCAPES"), DWORD{0x00070020});
    // Text keeps the source's own line ends and ';' lines inside it.
    ASSERT_NE(table.Text(0x80070001, Language::English), nullptr);
    EXPECT_EQ(*table.Text(0x80070001, Language::English), L"; not a comment here\ntwo lines\n");
    // 0x404 in the source is the 0x7C04 text.
    EXPECT_EQ(table.Render(0x80070005, Language::TraditionalChinese, {}), L"x\n");
    EXPECT_EQ(table.Text(0x80070005, Language::English), nullptr);
    EXPECT_THROW(table.Render(0x80070005, Language::English, {}), std::out_of_range);
    EXPECT_THROW(table.Render(0x12345678, Language::English, {}), std::out_of_range);
}

TEST(MessageTableParse, RenderAppliesInsertsAndEscapes) {
    MessageTable table = MessageTable::Parse(kSmallSource);
    std::vector<std::wstring> inserts{L"one", L"%2", L"three", L"4", L"5", L"6", L"7", L"8", L"9", L"ten"};
    // Inserted text is not expanded again; %0 ends the message.
    EXPECT_EQ(table.Render(0x00070020, Language::English, inserts), L"[one|ten|three|100%|a\r\nb|\t|.|");
    // Inserts without a string stay as written.
    EXPECT_EQ(table.Render(0x00070020, Language::English, {L"only"}), L"[only|%10|%3|100%|a\r\nb|\t|.|");
}

TEST(MessageTableParse, RejectsMalformedSources) {
    const char* bad[] = {
        "MessageId=1\nLanguage=English\nno end\n",                 // text not closed
        "MessageId=1\nLanguage=Klingon\nx\n.\n",                   // unknown language
        "MessageId=1\nSeverity=Fatal\n",                           // unknown severity
        "MessageId=1\nFacility=Nowhere\n",                         // unknown facility
        "SymbolicName=X\n",                                        // before any MessageId
        "MessageId=zz\n",                                          // not a number
        "MessageId=0x10000\n",                                     // code too large
        "Bogus=1\n",                                               // unknown keyword
        "MessageId=1\nMessageId=1\n",                              // duplicate ID
        "MessageId=1\nLanguage=English\na\n.\nLanguage=English\nb\n.\n",  // two English texts
        "LanguageNames=(English=0x409:MSG00409\n",                 // list not closed
        "MessageId=1\nLanguage=English\n\xC0\x80\n.\n",            // overlong UTF-8
    };
    for (const char* source : bad) {
        SCOPED_TRACE(source);
        EXPECT_THROW(MessageTable::Parse(source), std::invalid_argument);
    }
}

TEST(WideFromUtf8, DecodesEveryLengthAndRejectsMalformedSequences) {
    EXPECT_EQ(sim::WideFromUtf8("A\xC3\xA9\xE8\xAE\xBE"), L"A\u00E9\u8BBE");
    std::wstring astral = sim::WideFromUtf8("\xF0\x9F\x98\x80");
    if constexpr (sizeof(wchar_t) == 4) {
        EXPECT_EQ(astral, std::wstring(1, static_cast<wchar_t>(0x1F600)));
    } else {
        EXPECT_EQ(astral, L"\xD83D\xDE00");
    }
    const char* bad[] = {"\x80", "\xC3", "\xE8\xAE", "\xC0\xAF", "\xE0\x80\x80", "\xED\xA0\x80",
                         "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xC3\x28"};
    for (const char* text : bad) {
        SCOPED_TRACE(::testing::PrintToString(std::string(text)));
        EXPECT_THROW(sim::WideFromUtf8(text), std::invalid_argument);
    }
}

}  // namespace
