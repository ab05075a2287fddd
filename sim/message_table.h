// A message table read from message-compiler source text (the .mc file the
// Windows build compiles into the service's MESSAGETABLE resource), and
// rendered the way FormatMessageW renders an event log entry with insertion
// strings.
//
//     sim::MessageTable table = sim::MessageTable::Parse(mcText);
//     std::wstring text = table.Render(*table.IdOf("MSG_DEVICE_FOUND"),
//                                      sim::Language::English, {L"KorvexS", L"PCI\\VEN_..."});
#pragma once

#include "platform/win32.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// The languages of the service's message table.
enum class Language {
    English,             // "en", 0x0409
    SimplifiedChinese,   // "zh-Hans", 0x0004
    TraditionalChinese,  // "zh-Hant", 0x7C04
};

// The language ID under which the resource holds the language's texts.
WORD ResourceLanguageId(Language language);
// "en", "zh-Hans" or "zh-Hant".
const char* LanguageTag(Language language);
// The language of a tag as LanguageTag gives it (compared without regard to
// case); nothing for any other tag.
std::optional<Language> LanguageFromTag(std::string_view tag);

class MessageTable {
public:
    struct Message {
        DWORD id = 0;
        std::string symbolicName;
        // By resource language ID; each text as the source spells it, line
        // ends included.
        std::map<WORD, std::wstring> texts;
    };

    // Reads UTF-8 message-compiler source. Throws std::invalid_argument,
    // naming the line, on text it cannot read (unknown keyword, severity,
    // facility or language name, a text without its closing ".", a
    // duplicate message ID, malformed UTF-8).
    static MessageTable Parse(std::string_view mcText);

    // The text of `messageId` in `language` with each %1..%99 replaced by
    // insertionStrings[n - 1] and the other escapes of FormatMessageW (%0,
    // %%, %n, %r, %t, "% ", "%.", "%!") applied. An insert with no string
    // stays as written. Throws std::out_of_range when the table has no such
    // message or no text for it in that language.
    std::wstring Render(DWORD messageId, Language language,
                        const std::vector<std::wstring>& insertionStrings) const;

    // The message or its unrendered text, or null.
    const Message* Find(DWORD messageId) const;
    const std::wstring* Text(DWORD messageId, Language language) const;

    // The ID of the message with this symbolic name, or nothing.
    std::optional<DWORD> IdOf(std::string_view symbolicName) const;

    // In source order.
    const std::vector<Message>& Messages() const { return messages_; }

private:
    std::vector<Message> messages_;
};

// UTF-8 to wide characters without the C library's locale: one wchar_t per
// code point where wchar_t has 32 bits, UTF-16 where it has 16. Throws
// std::invalid_argument on malformed input (truncated or overlong
// sequences, surrogates, code points beyond U+10FFFF).
std::wstring WideFromUtf8(std::string_view text);

}  // namespace sim
