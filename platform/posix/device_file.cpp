// Device files: CreateFileW on a device interface path opens the interface's
// kernel driver, DeviceIoControl hands requests to it, and closing the last
// reference to the file closes the driver's open.
#include "platform/posix/device_tree.h"
#include "platform/posix/faults.h"
#include "platform/posix/object.h"

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace {

// The device files open now, per device: what a removal finds still open.
struct OpenFiles {
    std::mutex mutex;
    std::vector<std::wstring> instanceIds;  // one entry per open file
};
OpenFiles& TheOpenFiles() {
    static auto* files = new OpenFiles;  // never destroyed: threads may outlive main
    return *files;
}

class DeviceFile final : public kwin::KernelObject {
public:
    // Throws std::bad_alloc.
    DeviceFile(std::shared_ptr<kwin::DeviceDriver> driver, uint64_t fileId, std::wstring instanceId)
        : KernelObject(kwin::ObjectType::DeviceFile),
          driver_(std::move(driver)),
          fileId_(fileId),
          instanceId_(std::move(instanceId)) {
        OpenFiles& files = TheOpenFiles();
        std::lock_guard lock(files.mutex);
        files.instanceIds.push_back(instanceId_);
    }
    // Runs when CloseHandle drops the handle and no request is in flight.
    ~DeviceFile() override {
        {
            OpenFiles& files = TheOpenFiles();
            std::lock_guard lock(files.mutex);
            for (auto it = files.instanceIds.begin(); it != files.instanceIds.end(); ++it) {
                if (*it == instanceId_) {
                    files.instanceIds.erase(it);
                    break;
                }
            }
        }
        driver_->Close(fileId_);
    }

    kwin::DeviceDriver& driver() const { return *driver_; }
    uint64_t fileId() const { return fileId_; }
    const std::wstring& instanceId() const { return instanceId_; }
    std::wstring DeviceInstanceId() const override { return instanceId_; }

private:
    std::shared_ptr<kwin::DeviceDriver> driver_;
    uint64_t fileId_;
    std::wstring instanceId_;
};

std::atomic<uint64_t> nextFileId{1};

}  // namespace

// Only device interface paths can be opened; access, sharing and disposition
// are not checked.
extern "C" HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    if (kwin::ShouldFail("CreateFileW")) return INVALID_HANDLE_VALUE;
    std::wstring instanceId;
    std::shared_ptr<kwin::DeviceDriver> driver;
    try {
        driver = kwin::FindInterfaceDriver(fileName, &instanceId);
    } catch (const std::bad_alloc&) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
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
        file = std::make_shared<DeviceFile>(driver, fileId, std::move(instanceId));
    } catch (const std::bad_alloc&) {
        driver->Close(fileId);
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    kwin::SetLastErrorValue(ERROR_SUCCESS);
    return kwin::InsertHandle(std::move(file));
}

namespace kwin {

bool DeviceFileInstanceId(HANDLE handle, std::wstring* instanceId) {
    auto file = ReferenceHandleAs<DeviceFile>(handle, ObjectType::DeviceFile);
    if (!file) return false;
    if (instanceId) *instanceId = file->instanceId();
    return true;
}

int OpenDeviceFilesOn(const std::wstring& instanceId) {
    OpenFiles& files = TheOpenFiles();
    std::lock_guard lock(files.mutex);
    int count = 0;
    for (const auto& id : files.instanceIds) {
        if (EqualsIgnoringAsciiCase(id, instanceId)) ++count;
    }
    return count;
}

}  // namespace kwin

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
