// The file a Windows test program works on: given on its command line (a
// Unix path, as CTest passes it, is turned into Wine's Z: drive path), or by
// default the named file beside the program.
#pragma once

#include <windows.h>

#include <string>

namespace korvex::wine_test {

inline std::wstring WindowsPathOf(const char* argument) {
    std::wstring path;
    int length = MultiByteToWideChar(CP_UTF8, 0, argument, -1, nullptr, 0);
    if (length > 1) {
        path.resize(static_cast<size_t>(length) - 1);
        MultiByteToWideChar(CP_UTF8, 0, argument, -1, path.data(), length);
    }
    if (!path.empty() && path[0] == L'/') path.insert(0, L"Z:");
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

inline std::wstring BesideThisProgram(const wchar_t* fileName) {
    wchar_t self[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    size_t slash = path.find_last_of(L"\\/");
    path.resize(slash == std::wstring::npos ? 0 : slash + 1);
    return path + fileName;
}

// argv[1] when there is one, else `fileName` beside the program.
inline std::wstring TargetPath(int argc, char** argv, const wchar_t* fileName) {
    return argc > 1 ? WindowsPathOf(argv[1]) : BesideThisProgram(fileName);
}

inline std::string Narrow(const std::wstring& text) {
    std::string result;
    int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (length > 1) {
        result.resize(static_cast<size_t>(length) - 1);
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, result.data(), length, nullptr, nullptr);
    }
    return result;
}

}  // namespace korvex::wine_test
