// The event log: event sources as handles, and the entries reported through
// them, kept for the machine to read back (rendering is the machine's).
#include "platform/posix/faults.h"
#include "platform/posix/kernel.h"
#include "platform/posix/object.h"

#include <mutex>
#include <new>

namespace kwin {
namespace {

constexpr DWORD kRpcServerUnavailable = 1722;

struct EventSourceObject final : KernelObject {
    explicit EventSourceObject(std::wstring name) : KernelObject(ObjectType::EventSource), name(std::move(name)) {}
    const std::wstring name;
};

struct Log {
    std::mutex mutex;
    std::vector<EventLogEntry> entries;
    EventSourceCalls calls;
};
Log& TheLog() {
    static auto* log = new Log;  // never destroyed: threads may outlive main
    return *log;
}

}  // namespace

std::vector<EventLogEntry> EventLog() {
    Log& log = TheLog();
    std::lock_guard lock(log.mutex);
    return log.entries;
}

void ClearEventLog() {
    Log& log = TheLog();
    std::lock_guard lock(log.mutex);
    log.entries.clear();
    log.calls = {};
}

EventSourceCalls EventSources() {
    Log& log = TheLog();
    std::lock_guard lock(log.mutex);
    return log.calls;
}

}  // namespace kwin

// Only the local computer's log (a null or empty server name).
extern "C" HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
    if (kwin::ShouldFail("RegisterEventSourceW")) return nullptr;
    if (lpUNCServerName && *lpUNCServerName) {
        kwin::SetLastErrorValue(kwin::kRpcServerUnavailable);
        return nullptr;
    }
    if (!lpSourceName) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<kwin::EventSourceObject> source;
    try {
        source = std::make_shared<kwin::EventSourceObject>(lpSourceName);
    } catch (const std::bad_alloc&) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = kwin::InsertHandle(std::move(source));
    if (!handle) {
        kwin::SetLastErrorValue(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    kwin::Log& log = kwin::TheLog();
    std::lock_guard lock(log.mutex);
    ++log.calls.registered;
    return handle;
}

extern "C" BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                                    WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData) {
    if (kwin::ShouldFail("ReportEventW")) return FALSE;
    auto source = kwin::ReferenceHandleAs<kwin::EventSourceObject>(hEventLog, kwin::ObjectType::EventSource);
    if (!source) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((wNumStrings > 0 && !lpStrings) || (dwDataSize > 0 && !lpRawData)) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    kwin::EventLogEntry entry;
    entry.source = source->name;
    entry.type = wType;
    entry.category = wCategory;
    entry.eventId = dwEventID;
    entry.rawDataSize = dwDataSize;
    entry.hasUserSid = lpUserSid != nullptr;
    entry.processId = kwin::CurrentProcessIdValue();
    for (WORD i = 0; i < wNumStrings; ++i) {
        if (!lpStrings[i]) {
            kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        entry.strings.emplace_back(lpStrings[i]);
    }
    kwin::Log& log = kwin::TheLog();
    std::lock_guard lock(log.mutex);
    log.entries.push_back(std::move(entry));
    return TRUE;
}

extern "C" BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
    if (kwin::ShouldFail("DeregisterEventSource")) return FALSE;
    if (!kwin::ReferenceHandleAs<kwin::EventSourceObject>(hEventLog, kwin::ObjectType::EventSource) ||
        !kwin::RemoveHandle(hEventLog)) {
        kwin::SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    kwin::Log& log = kwin::TheLog();
    std::lock_guard lock(log.mutex);
    ++log.calls.deregistered;
    return TRUE;
}
