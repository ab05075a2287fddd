// Registered window messages: one number per name, the same for every
// process of the machine, names compared without regard to case.
#include "platform/posix/device_tree.h"
#include "platform/posix/faults.h"
#include "platform/posix/object.h"

#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr UINT kFirstRegisteredMessage = 0xC000;

struct RegisteredMessages {
    std::mutex mutex;
    std::vector<std::wstring> names;  // message kFirstRegisteredMessage + index
};
RegisteredMessages& Messages() {
    static auto* messages = new RegisteredMessages;  // never destroyed: threads may outlive main
    return *messages;
}

}  // namespace

extern "C" UINT WINAPI RegisterWindowMessageW(LPCWSTR lpString) {
    if (kwin::ShouldFail("RegisterWindowMessageW")) return 0;
    if (!lpString || !*lpString) {
        kwin::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::wstring name(lpString);
    RegisteredMessages& messages = Messages();
    std::lock_guard lock(messages.mutex);
    for (size_t i = 0; i < messages.names.size(); ++i) {
        if (kwin::EqualsIgnoringAsciiCase(messages.names[i], name)) return kFirstRegisteredMessage + static_cast<UINT>(i);
    }
    messages.names.push_back(name);
    return kFirstRegisteredMessage + static_cast<UINT>(messages.names.size() - 1);
}
