// The simulated avrt.dll: MMCSS task registration that only records calls.
#include "platform/posix/avrt.h"

#include "platform/posix/faults.h"
#include "platform/posix/kernel.h"
#include "platform/posix/object.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <vector>

namespace kwin {
namespace {

struct AvrtState {
    std::mutex mutex;
    bool present = true;
    AvrtCalls calls;
    std::vector<HANDLE> taskHandles;  // given out and not yet reverted
    uintptr_t lastTaskHandle = 0;
    DWORD lastTaskIndex = 0;
};
AvrtState& State() {
    static auto* state = new AvrtState;  // never destroyed: threads may outlive main
    return *state;
}

// The address of this object is the module handle: unique in the process.
const char avrtModuleImage = 0;

// Task handles are not kernel handles; they live in a range of their own.
constexpr uintptr_t kFirstTaskHandle = 0x4176000;

HANDLE WINAPI SimulatedAvSetMmThreadCharacteristicsW(LPCWSTR taskName, LPDWORD taskIndex) {
    if (ShouldFail("AvSetMmThreadCharacteristicsW")) return nullptr;
    if (!taskName || !taskIndex) {
        SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    AvrtState& state = State();
    std::lock_guard lock(state.mutex);
    ++state.calls.setCalls;
    state.calls.lastTask = taskName;
    if (*taskIndex == 0) *taskIndex = ++state.lastTaskIndex;
    state.lastTaskHandle = state.lastTaskHandle ? state.lastTaskHandle + 4 : kFirstTaskHandle;
    auto handle = reinterpret_cast<HANDLE>(state.lastTaskHandle);
    state.taskHandles.push_back(handle);
    return handle;
}

BOOL WINAPI SimulatedAvRevertMmThreadCharacteristics(HANDLE avrtHandle) {
    if (ShouldFail("AvRevertMmThreadCharacteristics")) return FALSE;
    AvrtState& state = State();
    std::lock_guard lock(state.mutex);
    auto it = std::find(state.taskHandles.begin(), state.taskHandles.end(), avrtHandle);
    if (it == state.taskHandles.end()) {
        SetLastErrorValue(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    state.taskHandles.erase(it);
    ++state.calls.revertCalls;
    return TRUE;
}

// The exports have the signatures of platform/win32.h's pointer types.
static_assert(std::is_same_v<decltype(&SimulatedAvSetMmThreadCharacteristicsW), HANDLE (*)(LPCWSTR, LPDWORD)>);
static_assert(std::is_same_v<decltype(&SimulatedAvRevertMmThreadCharacteristics), BOOL (*)(HANDLE)>);

}  // namespace

HMODULE AvrtModule() {
    return reinterpret_cast<HMODULE>(const_cast<char*>(&avrtModuleImage));
}

bool AvrtPresent() {
    std::lock_guard lock(State().mutex);
    return State().present;
}

void AddAvrtReference() {
    std::lock_guard lock(State().mutex);
    ++State().calls.loadedReferences;
}

bool ReleaseAvrtReference() {
    std::lock_guard lock(State().mutex);
    if (State().calls.loadedReferences == 0) return false;
    --State().calls.loadedReferences;
    return true;
}

int AvrtReferences() {
    std::lock_guard lock(State().mutex);
    return State().calls.loadedReferences;
}

// Through void (*)(), the generic function pointer type, which the compiler
// accepts in a cast to any other function pointer type.
template <class F>
FARPROC AsFarProc(F* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

FARPROC AvrtExport(LPCSTR name) {
    if (std::strcmp(name, "AvSetMmThreadCharacteristicsW") == 0) {
        return AsFarProc(&SimulatedAvSetMmThreadCharacteristicsW);
    }
    if (std::strcmp(name, "AvRevertMmThreadCharacteristics") == 0) {
        return AsFarProc(&SimulatedAvRevertMmThreadCharacteristics);
    }
    return nullptr;
}

void SetAvrtPresent(bool present) {
    std::lock_guard lock(State().mutex);
    State().present = present;
}

AvrtCalls Avrt() {
    std::lock_guard lock(State().mutex);
    return State().calls;
}

}  // namespace kwin
