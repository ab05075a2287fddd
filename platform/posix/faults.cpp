#include "platform/posix/faults.h"
#include "platform/posix/fault_hooks.h"

#include "platform/posix/kernel.h"
#include "platform/posix/object.h"
#include "platform/posix/process.h"

#include <atomic>
#include <cstring>
#include <cwctype>
#include <mutex>
#include <string>
#include <vector>

namespace kwin {
namespace {

struct ArmedFailure {
    std::string function;
    int callsLeft;  // fires when this reaches 0
    DWORD error;
    bool every = false;  // fires at every call and stays armed
};

// Room for every stand-in function that can fail; a fixed table, so that
// counting allocates nothing on the threads it counts.
constexpr size_t kMaxCountedFunctions = 256;
struct CallCounter {
    const char* function;  // the name each stand-in function passes: a literal
    int calls;
};

struct FailureTable {
    std::mutex mutex;
    std::vector<ArmedFailure> armed;
    bool counting = false;
    CallCounter counters[kMaxCountedFunctions] = {};
    size_t counted = 0;
    std::atomic<bool> any{false};  // armed or counting: lets other calls skip the lock
    std::wstring image;            // only processes started from it count (empty: every caller)
};

FailureTable& Failures() {
    static auto* table = new FailureTable;  // never destroyed: threads may outlive main
    return *table;
}

void CountLocked(FailureTable& table, const char* function) {
    for (size_t i = 0; i < table.counted; ++i) {
        if (std::strcmp(table.counters[i].function, function) == 0) {
            ++table.counters[i].calls;
            return;
        }
    }
    if (table.counted < kMaxCountedFunctions) table.counters[table.counted++] = {function, 1};
}

void UpdateAnyLocked(FailureTable& table) {
    table.any.store(table.counting || !table.armed.empty(), std::memory_order_release);
}

// Whether the calling thread's process was started from the image (compared
// without regard to case, as Windows paths are); allocates nothing.
bool CallerFromImageLocked(const FailureTable& table) {
    if (table.image.empty()) return true;
    const ProcessObject* process = CurrentProcess();
    if (process == nullptr) return false;
    const std::wstring& path = process->start.imagePath;
    if (path.size() != table.image.size()) return false;
    for (size_t i = 0; i < path.size(); ++i) {
        if (std::towlower(path[i]) != std::towlower(table.image[i])) return false;
    }
    return true;
}

}  // namespace

bool ShouldFail(const char* function, DWORD& error) {
    FailureTable& table = Failures();
    if (!table.any.load(std::memory_order_acquire)) return false;
    std::lock_guard lock(table.mutex);
    if (!CallerFromImageLocked(table)) return false;
    if (table.counting) CountLocked(table, function);
    bool fires = false;
    for (auto it = table.armed.begin(); it != table.armed.end();) {
        if (std::strcmp(it->function.c_str(), function) != 0) {
            ++it;
            continue;
        }
        if (it->every) {
            if (!fires) error = it->error;
            fires = true;
            ++it;
        } else if (--it->callsLeft == 0) {
            if (!fires) error = it->error;
            fires = true;
            it = table.armed.erase(it);  // erase moves, never allocates
        } else {
            ++it;
        }
    }
    UpdateAnyLocked(table);
    return fires;
}

bool ShouldFail(const char* function) {
    DWORD error = 0;
    if (!ShouldFail(function, error)) return false;
    SetLastErrorValue(error);
    return true;
}

void FailCall(const std::string& function, int nthCall, DWORD error) {
    if (nthCall < 1) return;
    FailureTable& table = Failures();
    std::lock_guard lock(table.mutex);
    table.armed.push_back({function, nthCall, error});
    UpdateAnyLocked(table);
}

void FailEveryCall(const std::string& function, DWORD error) {
    FailureTable& table = Failures();
    std::lock_guard lock(table.mutex);
    table.armed.push_back({function, 0, error, true});
    UpdateAnyLocked(table);
}

void ClearInjectedFailures() {
    FailureTable& table = Failures();
    std::lock_guard lock(table.mutex);
    table.armed.clear();
    UpdateAnyLocked(table);
}

bool ShouldFailCall(const char* function) { return ShouldFail(function); }

int PendingInjectedFailures() {
    FailureTable& table = Failures();
    std::lock_guard lock(table.mutex);
    int pending = 0;
    for (const ArmedFailure& failure : table.armed) pending += !failure.every;
    return pending;
}

void StartCountingCalls() {
    FailureTable& table = Failures();
    std::lock_guard lock(table.mutex);
    table.counted = 0;
    table.counting = true;
    UpdateAnyLocked(table);
}

void CountCallsOfImage(const std::wstring& imagePath) {
    FailureTable& table = Failures();
    std::lock_guard lock(table.mutex);
    table.image = imagePath;
}

void StopCountingCalls() {
    FailureTable& table = Failures();
    std::lock_guard lock(table.mutex);
    table.counting = false;
    UpdateAnyLocked(table);
}

std::vector<CallCount> CountedCalls() {
    FailureTable& table = Failures();
    std::lock_guard lock(table.mutex);
    std::vector<CallCount> counts;
    counts.reserve(table.counted);
    for (size_t i = 0; i < table.counted; ++i) counts.push_back({table.counters[i].function, table.counters[i].calls});
    return counts;
}

}  // namespace kwin
