// The version block of KorvexASIO.dll, read back the way Explorer and
// installers read it: the fixed file and product versions and the U.S.
// English strings.
//
//   version_block_test [path\to\KorvexASIO.dll]   (default: beside the program)
#include "tests/wine/module_path.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using korvex::wine_test::Narrow;

std::wstring dllPath;

class VersionBlock : public ::testing::Test {
protected:
    void SetUp() override {
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeW(dllPath.c_str(), &ignored);
        ASSERT_NE(size, 0u) << Narrow(dllPath) << " has no version block, error " << GetLastError();
        block.resize(size);
        ASSERT_TRUE(GetFileVersionInfoW(dllPath.c_str(), 0, size, block.data()));
    }

    // The string `name` of the table 040904B0, or "<missing>".
    std::string String(const wchar_t* name) {
        std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(block.data(), key.c_str(), &value, &length) || value == nullptr) return "<missing>";
        return Narrow(static_cast<const wchar_t*>(value));
    }

    std::vector<unsigned char> block;
};

TEST_F(VersionBlock, FixedVersions) {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_NE(fixed, nullptr);
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    // 3.0.3.2
    EXPECT_EQ(fixed->dwFileVersionMS, (3u << 16) | 0u);
    EXPECT_EQ(fixed->dwFileVersionLS, (3u << 16) | 2u);
    // 3.2.9.0
    EXPECT_EQ(fixed->dwProductVersionMS, (3u << 16) | 2u);
    EXPECT_EQ(fixed->dwProductVersionLS, (9u << 16) | 0u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

TEST_F(VersionBlock, TranslationIsUsEnglishUnicode) {
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                               &length));
    ASSERT_GE(length, sizeof(Translation));
    EXPECT_EQ(translations[0].language, 0x0409);
    EXPECT_EQ(translations[0].codePage, 1200);
}

TEST_F(VersionBlock, Strings) {
    EXPECT_EQ(String(L"CompanyName"), "SAVANTIX");
    EXPECT_EQ(String(L"FileDescription"), "SAVANTIX Lyrenta Vazozo ASIO Driver");
    EXPECT_EQ(String(L"FileVersion"), "3.0.3.2");
    EXPECT_EQ(String(L"InternalName"), "KorvexASIO.dll");
    EXPECT_EQ(String(L"OriginalFilename"), "KorvexASIO.dll");
    EXPECT_EQ(String(L"ProductName"), "SAVANTIX Lyrenta Vazozo");
    EXPECT_EQ(String(L"ProductVersion"), "3.2.9.0");
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    dllPath = korvex::wine_test::TargetPath(argc, argv, L"KorvexASIO.dll");
    return RUN_ALL_TESTS();
}
