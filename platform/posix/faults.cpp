#include "platform/posix/faults.h"

#include "platform/posix/kernel.h"
#include "platform/posix/object.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace kwin {
namespace {

struct ArmedFailure {
    std::string function;
    int callsLeft;  // fires when this reaches 0
    DWORD error;
};

struct FailureTable {
    std::mutex mutex;
    std::vector<ArmedFailure> armed;
    std::atomic<bool> any{false};  // lets unarmed calls skip the lock
};

FailureTable& Failures() {
    static auto* table = new FailureTable;  // never destroyed: threads may outlive main
    return *table;
}

}  // namespace

bool ShouldFail(const char* function, DWORD& error) {
    FailureTable& table = Failures();
    if (!table.any.load(std::memory_order_acquire)) return false;
    std::lock_guard lock(table.mutex);
    bool fires = false;
    for (auto it = table.armed.begin(); it != table.armed.end();) {
        if (std::strcmp(it->function.c_str(), function) != 0) {
            ++it;
            continue;
        }
        if (--it->callsLeft == 0) {
            if (!fires) error = it->error;
            fires = true;
            it = table.armed.erase(it);  // erase moves, never allocates
        } else {
            ++it;
        }
    }
    table.any.store(!table.armed.empty(), std::memory_order_release);
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
    table.any.store(true, std::memory_order_release);
}

void ClearInjectedFailures() {
    FailureTable& table = Failures();
    std::lock_guard lock(table.mutex);
    table.armed.clear();
    table.any.store(false, std::memory_order_release);
}

}  // namespace kwin
