// The allocations that the product checks, new (std::nothrow), under the
// sweep's counting and injection as the function "operator new": an
// injected failure returns null, as an exhausted heap does. The throwing
// forms are left alone (the product does not use them; the simulated
// machine and the sweep do).
#include "platform/posix/fault_hooks.h"

#include <new>

namespace {

// The memory comes from the matching throwing form, so that every delete
// pairs with its new (the address sanitizer checks that it does).
template <bool array>
void* AllocateUnlessFailed(std::size_t size) noexcept {
    if (kwin::ShouldFailCall("operator new")) return nullptr;
    try {
        return array ? ::operator new[](size) : ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateUnlessFailed<false>(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateUnlessFailed<true>(size); }
