#include "sim/message_table.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace sim {

namespace {

constexpr std::uint16_t kEnglishUs = 0x0409;
constexpr std::uint16_t kChineseSimplified = 0x0004;
constexpr std::uint16_t kChineseTraditional = 0x7C04;

// windmc cannot name the neutral Chinese languages: the source gives them as
// 0x804 and 0x404 and the resource script moves them to 0x0004 and 0x7C04.
WORD ResourceHome(WORD sourceLanguage) {
    switch (sourceLanguage) {
        case 0x0804: return kChineseSimplified;
        case 0x0404: return kChineseTraditional;
        default: return sourceLanguage;
    }
}

[[noreturn]] void Fail(size_t line, const std::string& what) {
    throw std::invalid_argument("message source line " + std::to_string(line) + ": " + what);
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// A number as the message compiler writes one: 0x-prefixed hex or decimal.
std::optional<std::uint64_t> ParseNumber(std::string_view s) {
    s = Trim(s);
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty() || s.size() > 16) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : s) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return std::nullopt;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return value;
}

// One physical line of the source, with and without its line end.
struct Line {
    std::string_view withEnd;
    std::string_view text;
    size_t number;
};

std::vector<Line> SplitLines(std::string_view source) {
    std::vector<Line> lines;
    size_t number = 1;
    while (!source.empty()) {
        size_t lf = source.find('\n');
        size_t length = lf == std::string_view::npos ? source.size() : lf + 1;
        std::string_view withEnd = source.substr(0, length);
        std::string_view text = withEnd;
        if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        lines.push_back({withEnd, text, number++});
        source.remove_prefix(length);
    }
    return lines;
}

struct NameTables {
    std::map<std::string, std::uint64_t, std::less<>> severities{
        {"Success", 0x0}, {"Informational", 0x1}, {"Warning", 0x2}, {"Error", 0x3}};
    std::map<std::string, std::uint64_t, std::less<>> facilities{{"System", 0x0FF}, {"Application", 0xFFF}};
    std::map<std::string, std::uint64_t, std::less<>> languages{{"English", kEnglishUs}};
};

// "(name=number:symbol ...)": the name=number pairs into `table`.
void ParseNameList(std::string_view list, size_t line, std::map<std::string, std::uint64_t, std::less<>>& table) {
    list = Trim(list);
    if (list.size() < 2 || list.front() != '(' || list.back() != ')') Fail(line, "expected a parenthesised name list");
    list = list.substr(1, list.size() - 2);
    // Spaces may stand around '=' and ':'; join them first.
    std::string joined;
    for (size_t i = 0; i < list.size(); ++i) {
        char c = list[i];
        if (IsSpace(c)) {
            size_t next = i;
            while (next < list.size() && IsSpace(list[next])) ++next;
            bool besideSeparator = (next < list.size() && (list[next] == '=' || list[next] == ':')) ||
                                   (!joined.empty() && (joined.back() == '=' || joined.back() == ':'));
            if (!besideSeparator && !joined.empty()) joined += ' ';
            i = next - 1;
            continue;
        }
        joined += c;
    }
    std::string_view rest = joined;
    while (!rest.empty()) {
        size_t space = rest.find(' ');
        std::string_view entry = rest.substr(0, space);
        rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
        size_t equals = entry.find('=');
        if (equals == std::string_view::npos || equals == 0) Fail(line, "expected name=number in " + std::string(entry));
        std::string_view number = entry.substr(equals + 1);
        number = number.substr(0, number.find(':'));
        std::optional<std::uint64_t> value = ParseNumber(number);
        if (!value) Fail(line, "not a number: " + std::string(number));
        table[std::string(entry.substr(0, equals))] = *value;
    }
}

void AppendCodePoint(std::wstring& out, std::uint32_t codePoint) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (codePoint >> 10));
            out += static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF));
            return;
        }
    }
    out += static_cast<wchar_t>(codePoint);
}

}  // namespace

WORD ResourceLanguageId(Language language) {
    switch (language) {
        case Language::English: return kEnglishUs;
        case Language::SimplifiedChinese: return kChineseSimplified;
        case Language::TraditionalChinese: return kChineseTraditional;
    }
    return kEnglishUs;
}

const char* LanguageTag(Language language) {
    switch (language) {
        case Language::English: return "en";
        case Language::SimplifiedChinese: return "zh-Hans";
        case Language::TraditionalChinese: return "zh-Hant";
    }
    return "en";
}

std::optional<Language> LanguageFromTag(std::string_view tag) {
    for (Language language : {Language::English, Language::SimplifiedChinese, Language::TraditionalChinese}) {
        if (EqualNoCase(tag, LanguageTag(language))) return language;
    }
    return std::nullopt;
}

std::wstring WideFromUtf8(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            out += static_cast<wchar_t>(byte);
            ++i;
            continue;
        }
        size_t length;
        std::uint32_t codePoint;
        std::uint32_t minimum;
        if ((byte & 0xE0) == 0xC0) {
            length = 2, codePoint = byte & 0x1F, minimum = 0x80;
        } else if ((byte & 0xF0) == 0xE0) {
            length = 3, codePoint = byte & 0x0F, minimum = 0x800;
        } else if ((byte & 0xF8) == 0xF0) {
            length = 4, codePoint = byte & 0x07, minimum = 0x10000;
        } else {
            throw std::invalid_argument("malformed UTF-8 at byte " + std::to_string(i));
        }
        if (text.size() - i < length) throw std::invalid_argument("truncated UTF-8 at byte " + std::to_string(i));
        for (size_t k = 1; k < length; ++k) {
            auto continuation = static_cast<unsigned char>(text[i + k]);
            if ((continuation & 0xC0) != 0x80) {
                throw std::invalid_argument("malformed UTF-8 at byte " + std::to_string(i + k));
            }
            codePoint = (codePoint << 6) | (continuation & 0x3F);
        }
        if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            throw std::invalid_argument("invalid UTF-8 sequence at byte " + std::to_string(i));
        }
        AppendCodePoint(out, codePoint);
        i += length;
    }
    return out;
}

MessageTable MessageTable::Parse(std::string_view mcText) {
    if (mcText.substr(0, 3) == "\xEF\xBB\xBF") mcText.remove_prefix(3);
    std::vector<Line> lines = SplitLines(mcText);

    NameTables names;
    MessageTable table;
    Message* current = nullptr;
    std::uint64_t severity = 0;
    std::uint64_t facility = 0;
    std::uint64_t code = 0;
    bool haveCode = false;

    auto finishId = [&](size_t line) {
        if (severity > 3) Fail(line, "severity out of range");
        if (facility > 0xFFF) Fail(line, "facility out of range");
        if (code > 0xFFFF) Fail(line, "message code out of range");
        current->id = static_cast<DWORD>((severity << 30) | (facility << 16) | code);
    };

    for (size_t i = 0; i < lines.size(); ++i) {
        const Line& line = lines[i];
        std::string_view text = Trim(line.text);
        if (text.empty() || text.front() == ';') continue;

        size_t equals = text.find('=');
        if (equals == std::string_view::npos) Fail(line.number, "expected keyword=value");
        std::string_view keyword = Trim(text.substr(0, equals));
        std::string_view value = Trim(text.substr(equals + 1));

        if (EqualNoCase(keyword, "SeverityNames") || EqualNoCase(keyword, "FacilityNames") ||
            EqualNoCase(keyword, "LanguageNames")) {
            // The list may run over several lines up to its ')'.
            std::string list(value);
            size_t first = line.number;
            while (list.find(')') == std::string::npos) {
                if (++i >= lines.size()) Fail(first, "name list without ')'");
                list += ' ';
                list += lines[i].text;
            }
            auto& target = EqualNoCase(keyword, "SeverityNames")   ? names.severities
                           : EqualNoCase(keyword, "FacilityNames") ? names.facilities
                                                                   : names.languages;
            ParseNameList(list, first, target);
        } else if (EqualNoCase(keyword, "MessageIdTypedef") || EqualNoCase(keyword, "OutputBase")) {
            // Only shape the generated header.
        } else if (EqualNoCase(keyword, "MessageId")) {
            if (value.empty()) {
                code = haveCode ? code + 1 : 1;
            } else if (value.front() == '+') {
                std::optional<std::uint64_t> step = ParseNumber(value.substr(1));
                if (!step) Fail(line.number, "not a number: " + std::string(value));
                code = (haveCode ? code : 0) + *step;
            } else {
                std::optional<std::uint64_t> number = ParseNumber(value);
                if (!number) Fail(line.number, "not a number: " + std::string(value));
                code = *number;
            }
            haveCode = true;
            current = &table.messages_.emplace_back();
            finishId(line.number);
        } else if (EqualNoCase(keyword, "Severity") || EqualNoCase(keyword, "Facility")) {
            if (!current) Fail(line.number, std::string(keyword) + " before MessageId");
            bool isSeverity = EqualNoCase(keyword, "Severity");
            const auto& known = isSeverity ? names.severities : names.facilities;
            auto found = known.find(value);
            if (found == known.end()) Fail(line.number, "unknown " + std::string(keyword) + " " + std::string(value));
            (isSeverity ? severity : facility) = found->second;
            finishId(line.number);
        } else if (EqualNoCase(keyword, "SymbolicName")) {
            if (!current) Fail(line.number, "SymbolicName before MessageId");
            current->symbolicName = std::string(value);
        } else if (EqualNoCase(keyword, "Language")) {
            if (!current) Fail(line.number, "Language before MessageId");
            auto found = names.languages.find(value);
            if (found == names.languages.end()) Fail(line.number, "unknown language " + std::string(value));
            WORD language = ResourceHome(static_cast<WORD>(found->second));
            std::string body;
            size_t first = line.number;
            bool closed = false;
            while (++i < lines.size()) {
                if (Trim(lines[i].text) == ".") {
                    closed = true;
                    break;
                }
                body += lines[i].withEnd;
            }
            if (!closed) Fail(first, "text without its closing '.'");
            std::wstring wide;
            try {
                wide = WideFromUtf8(body);
            } catch (const std::invalid_argument& error) {
                Fail(first, error.what());
            }
            if (!current->texts.emplace(language, std::move(wide)).second) {
                Fail(first, "second text in language " + std::string(value));
            }
        } else {
            Fail(line.number, "unknown keyword " + std::string(keyword));
        }
    }

    for (size_t a = 0; a < table.messages_.size(); ++a) {
        for (size_t b = a + 1; b < table.messages_.size(); ++b) {
            if (table.messages_[a].id == table.messages_[b].id) {
                throw std::invalid_argument("message source: two messages with ID " +
                                            std::to_string(table.messages_[a].id));
            }
        }
    }
    return table;
}

const MessageTable::Message* MessageTable::Find(DWORD messageId) const {
    for (const Message& message : messages_) {
        if (message.id == messageId) return &message;
    }
    return nullptr;
}

const std::wstring* MessageTable::Text(DWORD messageId, Language language) const {
    const Message* message = Find(messageId);
    if (!message) return nullptr;
    auto text = message->texts.find(ResourceLanguageId(language));
    return text == message->texts.end() ? nullptr : &text->second;
}

std::optional<DWORD> MessageTable::IdOf(std::string_view symbolicName) const {
    for (const Message& message : messages_) {
        if (message.symbolicName == symbolicName) return message.id;
    }
    return std::nullopt;
}

std::wstring MessageTable::Render(DWORD messageId, Language language,
                                  const std::vector<std::wstring>& insertionStrings) const {
    const std::wstring* text = Text(messageId, language);
    if (!text) {
        throw std::out_of_range("no text for message " + std::to_string(messageId) + " in " + LanguageTag(language));
    }
    const std::wstring& in = *text;
    std::wstring out;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != L'%') {
            out += in[i];
            continue;
        }
        if (++i >= in.size()) break;
        wchar_t c = in[i];
        if (c >= L'1' && c <= L'9') {
            size_t start = i - 1;
            size_t index = static_cast<size_t>(c - L'0');
            if (i + 1 < in.size() && in[i + 1] >= L'0' && in[i + 1] <= L'9') {
                index = index * 10 + static_cast<size_t>(in[++i] - L'0');
            }
            // "%n!format!": every insert here is a string, so the format
            // only needs skipping.
            if (i + 1 < in.size() && in[i + 1] == L'!') {
                size_t close = in.find(L'!', i + 2);
                if (close != std::wstring::npos) i = close;
            }
            if (index <= insertionStrings.size()) {
                out += insertionStrings[index - 1];
            } else {
                out.append(in, start, i - start + 1);
            }
            continue;
        }
        switch (c) {
            case L'0': return out;
            case L'n': out += L"\r\n"; break;
            case L'r': out += L'\r'; break;
            case L't': out += L'\t'; break;
            default: out += c; break;  // %%, "% ", %., %! and the rest: the character itself
        }
    }
    return out;
}

}  // namespace sim
