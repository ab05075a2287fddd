#include "common/hardware_ids.h"

namespace korvex {
namespace {

WCHAR FoldAscii(WCHAR c) { return (c >= L'a' && c <= L'z') ? static_cast<WCHAR>(c - L'a' + L'A') : c; }

}  // namespace

bool StartsWithIgnoringAsciiCase(const WCHAR* text, const WCHAR* prefix, size_t length) {
    if (text == nullptr) return false;
    for (size_t i = 0; i < length; ++i) {
        // A terminator in `text` differs from every prefix character.
        if (FoldAscii(text[i]) != FoldAscii(prefix[i])) return false;
    }
    return true;
}

int SupportedHardwareIdIndex(const WCHAR* text) {
    for (size_t i = 0; i < kSupportedHardwareIdCount; ++i) {
        if (StartsWithIgnoringAsciiCase(text, kSupportedHardwareIds[i], kHardwareIdLength)) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace korvex

bool IsSupportedHardwareId(const WCHAR* hardwareId) { return korvex::SupportedHardwareIdIndex(hardwareId) >= 0; }
