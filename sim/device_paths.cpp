#include "sim/device_paths.h"

#include <cwchar>

namespace sim {
namespace {

std::wstring GuidText(const GUID& g) {
    wchar_t text[40];
    std::swprintf(text, sizeof text / sizeof text[0], L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
                  g.Data4[6], g.Data4[7]);
    return text;
}

// Interface reference strings: the card's second interface is its wave port.
std::wstring Reference(int index) {
    if (index == 0) return L"topology";
    if (index == 1) return L"wave";
    return L"wave" + std::to_wstring(index);
}

}  // namespace

std::wstring InterfacePath(const std::wstring& instanceId, const GUID& category, int index) {
    std::wstring path = L"\\\\?\\";
    for (wchar_t c : instanceId) {
        if (c == L'\\') c = L'#';
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        path.push_back(c);
    }
    return path + L"#" + GuidText(category) + L"\\" + Reference(index);
}

}  // namespace sim
