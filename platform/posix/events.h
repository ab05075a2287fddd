// Event objects. KernelEvent is also what kernel.h hands a driver.
#pragma once

#include "platform/posix/kernel.h"
#include "platform/posix/object.h"

namespace kwin {

struct KernelEvent final : KernelObject {
    explicit KernelEvent(bool manualReset, bool initialState)
        : KernelObject(ObjectType::Event), manualReset(manualReset), signalled(initialState) {}

    bool IsSignalledLocked() const override { return signalled; }
    // A wait takes the signal of an auto-reset event; a manual-reset event
    // stays set until ResetEvent.
    void ConsumeLocked() override {
        if (!manualReset) signalled = false;
    }

    // Sets the event and satisfies the waits it can; KernelLock() held.
    void SetLocked() {
        signalled = true;
        WakeWaitersLocked();
    }

    const bool manualReset;
    bool signalled;  // guarded by KernelLock()
};

}  // namespace kwin
