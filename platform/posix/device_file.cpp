// Device files: CreateFileW on a device interface path opens the interface's
// kernel driver, DeviceIoControl hands requests to it, and closing the last
// reference to the file closes the driver's open.
#include "platform/posix/device_tree.h"
#include "platform/posix/faults.h"
#include "platform/posix/object.h"

#include <atomic>
#include <new>

namespace {

class DeviceFile final : public kwin::KernelObject {
public:
    DeviceFile(std::shared_ptr<kwin::DeviceDriver> driver, uint64_t fileId)
        : KernelObject(kwin::ObjectType::DeviceFile), driver_(std::move(driver)), fileId_(fileId) {}
    // Runs when CloseHandle drops the handle and no request is in flight.
    ~DeviceFile() override { driver_->Close(fileId_); }

    kwin::DeviceDriver& driver() const { return *driver_; }
    uint64_t fileId() const { return fileId_; }

private:
    std::shared_ptr<kwin::DeviceDriver> driver_;
    uint64_t fileId_;
};

std::atomic<uint64_t> nextFileId{1};

}  // namespace

// Only device interface paths can be opened; access, sharing and disposition
// are not checked.
extern "C" HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    if (kwin::ShouldFail("CreateFileW")) return INVALID_HANDLE_VALUE;
    std::shared_ptr<kwin::DeviceDriver> driver = kwin::FindInterfaceDriver(fileName);
    if (!driver) {
        kwin::SetLastErrorValue(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const uint64_t fileId = nextFileId.fetch_add(1, std::memory_order_relaxed);
    if (DWORD error = driver->Create(fileId)) {
        kwin::SetLastErrorValue(error);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<DeviceFile> file;
    try {
        file = std::make_shared<DeviceFile>(driver, fileId);
    } catch (const std::bad_alloc&) {
        driver->Close(fileId);
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    kwin::SetLastErrorValue(ERROR_SUCCESS);
    return kwin::InsertHandle(std::move(file));
}

// Synchronous only: an OVERLAPPED is accepted but the call completes before
// it returns, as on a handle opened without overlapped I/O.
extern "C" BOOL WINAPI DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                                       LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                                       LPOVERLAPPED overlapped) {
    if (kwin::ShouldFail("DeviceIoControl")) return FALSE;
    auto file = kwin::ReferenceHandleAs<DeviceFile>(device, kwin::ObjectType::DeviceFile);
    if (!file) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!bytesReturned && !overlapped) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD returned = 0;
    const DWORD error = file->driver().IoControl(file->fileId(), ioControlCode, inBuffer, inBufferSize, outBuffer,
                                                 outBufferSize, &returned);
    if (bytesReturned) *bytesReturned = returned;
    if (overlapped) overlapped->InternalHigh = returned;
    if (error != ERROR_SUCCESS) {
        kwin::SetLastErrorValue(error);
        return FALSE;
    }
    return TRUE;
}
