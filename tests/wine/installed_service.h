// A test fixture holding an own-process, demand-start service installed from
// a program image for each test, and removed again on every path, failed
// assertions included.
#pragma once

#include "tests/wine/service_control.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace korvex::wine_test {

class InstalledServiceTest : public ::testing::Test {
protected:
    InstalledServiceTest(const wchar_t* name, const std::wstring& image) : name_(name), image_(image) {}

    void SetUp() override {
        manager.Reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager) << "OpenSCManagerW: error " << GetLastError();
        RemoveService(manager.get(), name_);  // left over from an interrupted run
        const std::wstring binaryPath = L"\"" + image_ + L"\"";
        service.Reset(CreateServiceW(manager.get(), name_, name_, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr,
                                     nullptr, nullptr, nullptr));
        ASSERT_TRUE(service) << "CreateServiceW: error " << GetLastError();
    }

    void TearDown() override {
        service.Reset();
        if (manager) RemoveService(manager.get(), name_);
    }

    ServiceHandle manager;
    ServiceHandle service;

private:
    const wchar_t* name_;
    std::wstring image_;
};

}  // namespace korvex::wine_test
