// What KorvexSetup-<version>.msi leaves on the machine, read back the way
// Windows and an ASIO host read it. tests/wine/install_test.sh runs it after
// each msiexec step:
//
//   install_check_test --gtest_filter=Installed.*:AsioHost.* <version>
//       the product of <version> installed: files, registry values with
//       their types (64-bit view, and the x86 driver's in the 32-bit view),
//       the service's settings and RUNNING, the
//       event source, one product of our upgrade code with its
//       "Apps & features" entry; the driver found under HKLM\SOFTWARE\ASIO
//       and created through COM from the installed file.
//   install_check_test --gtest_filter=Removed.*
//       nothing of it left: files, folders, keys, service, product.
//
// Each value it reads is printed, so the log shows what was found.
#include "asio/driver/asio.h"
#include "tests/wine/module_path.h"

#include <windows.h>
#include <msi.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cwctype>
#include <iostream>
#include <string>
#include <vector>

namespace {

using korvex::wine_test::Narrow;

constexpr wchar_t kUpgradeCode[] = L"{EB8B10FE-0E3E-403B-B9B5-BC5443350064}";
constexpr wchar_t kClsid[] = L"{029A27F2-F2C8-4892-A690-C710D91F32B0}";
constexpr wchar_t kClassKey[] = L"SOFTWARE\\Classes\\CLSID\\{029A27F2-F2C8-4892-A690-C710D91F32B0}";
constexpr wchar_t kServerKey[] = L"SOFTWARE\\Classes\\CLSID\\{029A27F2-F2C8-4892-A690-C710D91F32B0}\\InprocServer32";
constexpr wchar_t kAsioKey[] = L"SOFTWARE\\ASIO\\SAVANTIX Lyrenta Vazozo";
constexpr wchar_t kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KorvexS";
constexpr wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kProductName[] = L"SAVANTIX Lyrenta Vazozo";
constexpr wchar_t kDescription[] = L"SAVANTIX Lyrenta Vazozo ASIO Driver";

std::wstring expectedVersion;

std::wstring ProgramFiles() {
    wchar_t path[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, path, CSIDL_PROGRAM_FILES, FALSE)) return L"";
    return path;
}
std::wstring VendorFolder() { return ProgramFiles() + L"\\SAVANTIX"; }
std::wstring InstallFolder() { return VendorFolder() + L"\\Lyrenta Vazozo"; }
std::wstring InstalledDll() { return InstallFolder() + L"\\KorvexASIO.dll"; }
std::wstring InstalledExe() { return InstallFolder() + L"\\KorvexS.exe"; }

// The driver for 32-bit hosts, under Program Files (x86).
std::wstring ProgramFilesX86() {
    wchar_t path[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, path, CSIDL_PROGRAM_FILESX86, FALSE)) return L"";
    return path;
}
std::wstring VendorFolderX86() { return ProgramFilesX86() + L"\\SAVANTIX"; }
std::wstring InstallFolderX86() { return VendorFolderX86() + L"\\Lyrenta Vazozo"; }
std::wstring InstalledDllX86() { return InstallFolderX86() + L"\\KorvexASIO.dll"; }

bool SameText(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// One owner for each handle kind used here.
class Key {
public:
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    LSTATUS Open(const wchar_t* path, REGSAM view = KEY_WOW64_64KEY) {
        return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, &key_);
    }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    ~ServiceHandle() {
        if (handle_ != nullptr) CloseServiceHandle(handle_);
    }
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

struct Value {
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    std::wstring Text() const {
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0') text.pop_back();
        return text;
    }
    DWORD Number() const {
        DWORD number = 0;
        if (data.size() == sizeof(number)) memcpy(&number, data.data(), sizeof(number));
        return number;
    }
};

// The value as stored: REG_EXPAND_SZ is not expanded.
Value ReadValue(const wchar_t* path, const wchar_t* name, REGSAM view = KEY_WOW64_64KEY) {
    Value value;
    Key key;
    value.status = key.Open(path, view);
    if (value.status != ERROR_SUCCESS) return value;
    DWORD size = 0;
    value.status = RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size);
    if (value.status != ERROR_SUCCESS) return value;
    value.data.resize(size);
    value.status = RegQueryValueExW(key.get(), name, nullptr, &value.type, value.data.data(), &size);
    value.data.resize(size);
    return value;
}

const char* TypeName(DWORD type) {
    switch (type) {
        case REG_SZ: return "REG_SZ";
        case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
        case REG_DWORD: return "REG_DWORD";
        case REG_MULTI_SZ: return "REG_MULTI_SZ";
        case REG_BINARY: return "REG_BINARY";
        default: return "other";
    }
}

bool FileExists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::wstring> RelatedProducts() {
    std::vector<std::wstring> products;
    wchar_t product[39] = {};
    for (DWORD index = 0; MsiEnumRelatedProductsW(kUpgradeCode, 0, index, product) == ERROR_SUCCESS; ++index) {
        products.emplace_back(product);
    }
    return products;
}

std::wstring ProductInfo(const std::wstring& product, const wchar_t* property) {
    wchar_t buffer[256] = {};
    DWORD size = 256;
    if (MsiGetProductInfoW(product.c_str(), property, buffer, &size) != ERROR_SUCCESS) return L"<none>";
    return buffer;
}

std::vector<DWORD> ProcessesNamed(const wchar_t* image) {
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (SameText(entry.szExeFile, image)) ids.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return ids;
}

// ---------------------------------------------------------------- installed

TEST(Installed, FilesAreInTheVendorFolderUnderProgramFiles) {
    std::cout << "Program Files: " << Narrow(ProgramFiles()) << "\n";
    EXPECT_TRUE(FileExists(InstalledDll())) << Narrow(InstalledDll());
    EXPECT_TRUE(FileExists(InstalledExe())) << Narrow(InstalledExe());
}

TEST(Installed, TheX86DriverIsAPe32ImageUnderProgramFilesX86) {
    std::cout << "Program Files (x86): " << Narrow(ProgramFilesX86()) << "\n";
    ASSERT_FALSE(SameText(ProgramFilesX86(), ProgramFiles()));
    ASSERT_TRUE(FileExists(InstalledDllX86())) << Narrow(InstalledDllX86());
    // The machine field of the PE header: i386, not x86-64.
    HANDLE file = CreateFileW(InstalledDllX86().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::vector<BYTE> head(4096);
    DWORD read = 0;
    const BOOL ok = ReadFile(file, head.data(), static_cast<DWORD>(head.size()), &read, nullptr);
    CloseHandle(file);
    ASSERT_TRUE(ok && read >= 0x40);
    DWORD peOffset = 0;
    memcpy(&peOffset, &head[0x3C], sizeof peOffset);
    ASSERT_LT(peOffset + 6, read);
    WORD machine = 0;
    memcpy(&machine, &head[peOffset + 4], sizeof machine);
    EXPECT_EQ(machine, IMAGE_FILE_MACHINE_I386) << std::hex << machine;
}

TEST(Installed, RegistryValuesWithTheirTypesInBothViews) {
    struct Case {
        const wchar_t* key;
        const wchar_t* name;  // null: the key's default value
        DWORD type;
        std::wstring text;
        DWORD number;
        REGSAM view = KEY_WOW64_64KEY;
    };
    const Case cases[] = {
        {kClassKey, nullptr, REG_SZ, kDescription, 0},
        {kServerKey, nullptr, REG_SZ, InstalledDll(), 0},
        {kServerKey, L"ThreadingModel", REG_SZ, L"Apartment", 0},
        {kAsioKey, L"CLSID", REG_SZ, kClsid, 0},
        {kAsioKey, L"Description", REG_SZ, kDescription, 0},
        {kEventSourceKey, L"EventMessageFile", REG_EXPAND_SZ, InstalledExe(), 0},
        {kEventSourceKey, L"TypesSupported", REG_DWORD, L"", 7},
        // The x86 driver, where 32-bit hosts and their COM look.
        {kClassKey, nullptr, REG_SZ, kDescription, 0, KEY_WOW64_32KEY},
        {kServerKey, nullptr, REG_SZ, InstalledDllX86(), 0, KEY_WOW64_32KEY},
        {kServerKey, L"ThreadingModel", REG_SZ, L"Apartment", 0, KEY_WOW64_32KEY},
        {kAsioKey, L"CLSID", REG_SZ, kClsid, 0, KEY_WOW64_32KEY},
        {kAsioKey, L"Description", REG_SZ, kDescription, 0, KEY_WOW64_32KEY},
    };
    for (const Case& c : cases) {
        std::string where = "HKLM\\" + Narrow(c.key) + " " + (c.name ? Narrow(c.name) : std::string("(default)")) +
                            (c.view == KEY_WOW64_32KEY ? " (32-bit view)" : "");
        Value value = ReadValue(c.key, c.name, c.view);
        ASSERT_EQ(value.status, ERROR_SUCCESS) << where;
        std::cout << where << " = " << TypeName(value.type) << " "
                  << (value.type == REG_DWORD ? std::to_string(value.Number()) : Narrow(value.Text())) << "\n";
        EXPECT_EQ(value.type, c.type) << where << " is " << TypeName(value.type);
        if (c.type == REG_DWORD) {
            EXPECT_EQ(value.Number(), c.number) << where;
        } else if (c.type == REG_EXPAND_SZ || c.key == kServerKey) {
            EXPECT_TRUE(SameText(value.Text(), c.text)) << where << ": " << Narrow(value.Text());
        } else {
            EXPECT_EQ(value.Text(), c.text) << where;
        }
    }
}

TEST(Installed, ServiceSettingsAndRunning) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ASSERT_NE(manager.get(), nullptr) << GetLastError();
    ServiceHandle service(OpenServiceW(manager.get(), L"KorvexS", SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    ASSERT_NE(service.get(), nullptr) << "OpenServiceW(KorvexS): " << GetLastError();

    DWORD size = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(service.get(), config, size, &size)) << GetLastError();
    std::string binary = Narrow(config->lpBinaryPathName);
    std::cout << "service KorvexS: type " << config->dwServiceType << ", start " << config->dwStartType
              << ", error control " << config->dwErrorControl << ", account " << Narrow(config->lpServiceStartName)
              << ", binary " << binary << ", display name " << Narrow(config->lpDisplayName) << "\n";
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_TRUE(SameText(config->lpServiceStartName, L"LocalSystem")) << Narrow(config->lpServiceStartName);
    // Windows Installer writes the path in quotes; Wine's writes it bare.
    std::wstring image = config->lpBinaryPathName;
    if (image.size() >= 2 && image.front() == L'"' && image.back() == L'"') image = image.substr(1, image.size() - 2);
    EXPECT_TRUE(SameText(image, InstalledExe())) << binary;

    SERVICE_STATUS_PROCESS status = {};
    for (int attempt = 0; attempt < 100; ++attempt) {
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                         sizeof(status), &needed))
            << GetLastError();
        if (status.dwCurrentState == SERVICE_RUNNING) break;
        Sleep(100);
    }
    std::cout << "service KorvexS: state " << status.dwCurrentState << " pid " << status.dwProcessId << "\n";
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST(Installed, OneProductOfTheUpgradeCodeWithItsAppsEntry) {
    std::vector<std::wstring> products = RelatedProducts();
    ASSERT_EQ(products.size(), 1u) << "products of upgrade code " << Narrow(kUpgradeCode);
    const std::wstring& product = products[0];
    std::cout << "product " << Narrow(product) << " version "
              << Narrow(ProductInfo(product, L"VersionString")) << "\n";
    EXPECT_EQ(ProductInfo(product, L"VersionString"), expectedVersion);

    std::wstring entry = kUninstallKey + product;
    struct Case {
        const wchar_t* name;
        std::wstring text;
    };
    const Case cases[] = {
        {L"DisplayName", kProductName},
        {L"Publisher", L"SAVANTIX"},
        {L"DisplayVersion", expectedVersion},
    };
    for (const Case& c : cases) {
        Value value = ReadValue(entry.c_str(), c.name);
        ASSERT_EQ(value.status, ERROR_SUCCESS) << "HKLM\\" << Narrow(entry) << " " << Narrow(c.name);
        std::cout << "HKLM\\" << Narrow(entry) << " " << Narrow(c.name) << " = " << TypeName(value.type) << " "
                  << Narrow(value.Text()) << "\n";
        EXPECT_EQ(value.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(value.Text(), c.text);
    }
}

// An ASIO host lists the subkeys of HKLM\SOFTWARE\ASIO, takes the CLSID of
// the one chosen, and creates the driver through COM.
TEST(AsioHost, FindsTheDriverThroughTheRegistryAndCreatesItFromTheInstalledFile) {
    Key drivers;
    ASSERT_EQ(drivers.Open(L"SOFTWARE\\ASIO"), ERROR_SUCCESS);
    std::wstring found;
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        if (RegEnumKeyExW(drivers.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        std::cout << "ASIO driver entry: " << Narrow(name) << "\n";
        std::wstring path = std::wstring(L"SOFTWARE\\ASIO\\") + name;
        if (ReadValue(path.c_str(), L"Description").Text() == kDescription) found = path;
    }
    ASSERT_FALSE(found.empty()) << "no entry under HKLM\\SOFTWARE\\ASIO describes " << Narrow(kDescription);
    std::wstring clsidText = ReadValue(found.c_str(), L"CLSID").Text();
    CLSID clsid = {};
    ASSERT_EQ(CLSIDFromString(clsidText.c_str(), &clsid), S_OK) << Narrow(clsidText);
    EXPECT_TRUE(IsEqualGUID(clsid, CLSID_KorvexAsio));

    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    void* object = nullptr;
    HRESULT created = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object);
    EXPECT_EQ(created, S_OK);
    if (SUCCEEDED(created) && object != nullptr) {
        auto* driver = static_cast<IASIO*>(object);
        // The object's table lives in the module COM loaded for the class.
        void* entry = (*reinterpret_cast<void***>(object))[0];
        HMODULE module = nullptr;
        ASSERT_TRUE(GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(entry), &module));
        wchar_t loaded[MAX_PATH] = {};
        DWORD length = GetModuleFileNameW(module, loaded, MAX_PATH);
        std::cout << "driver object created from " << Narrow(loaded) << "\n";
        EXPECT_TRUE(SameText(std::wstring(loaded, length), InstalledDll())) << Narrow(loaded);

        // No card here: init says so.
        EXPECT_EQ(driver->init(nullptr), ASIOFalse);
        char message[128] = {};
        driver->getErrorMessage(message);
        EXPECT_STREQ(message, "SAVANTIX Lyrenta Vazozo not present");
        EXPECT_EQ(driver->Release(), 0u);
    }
    CoUninitialize();
}

// ------------------------------------------------------------------ removed

TEST(Removed, NoFileOrFolderLeft) {
    for (const std::wstring& path : {InstalledDll(), InstalledExe(), InstallFolder(), VendorFolder(), InstalledDllX86(),
                                     InstallFolderX86(), VendorFolderX86()}) {
        EXPECT_FALSE(PathExists(path)) << Narrow(path) << " is still there";
    }
}

TEST(Removed, NoKeyLeftInEitherView) {
    for (const wchar_t* path : {kClassKey, kAsioKey, kEventSourceKey}) {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
            Key key;
            EXPECT_EQ(key.Open(path, view), ERROR_FILE_NOT_FOUND)
                << "HKLM\\" << Narrow(path) << (view == KEY_WOW64_32KEY ? " (32-bit view)" : "");
        }
    }
    EXPECT_TRUE(RelatedProducts().empty()) << "a product of our upgrade code is still registered";
}

TEST(Removed, NoServiceLeft) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ASSERT_NE(manager.get(), nullptr) << GetLastError();
    ServiceHandle service(OpenServiceW(manager.get(), L"KorvexS", SERVICE_QUERY_STATUS));
    DWORD error = GetLastError();
    EXPECT_EQ(service.get(), nullptr);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_TRUE(ProcessesNamed(L"KorvexS.exe").empty()) << "a KorvexS.exe process still runs";
}

TEST(Removed, TheClassIsNoLongerCreatable) {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_KorvexAsio, nullptr, CLSCTX_INPROC_SERVER, CLSID_KorvexAsio, &object),
              REGDB_E_CLASSNOTREG);
    if (object != nullptr) static_cast<IUnknown*>(object)->Release();
    CoUninitialize();
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc > 1) {
        std::string version = argv[1];
        expectedVersion.assign(version.begin(), version.end());  // digits and dots
    }
    return RUN_ALL_TESTS();
}
