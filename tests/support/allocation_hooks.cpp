#include "tests/support/allocation_hooks.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace testsupport {
namespace {

std::atomic<int> failCountdown{0};
std::atomic<long> nothrowAllocations{0};
thread_local bool counting = false;
thread_local long counted = 0;

void* Allocate(std::size_t size) {
    if (counting) ++counted;
    return std::malloc(size == 0 ? 1 : size);
}

bool ShouldFailNothrow() {
    nothrowAllocations.fetch_add(1, std::memory_order_relaxed);
    int current = failCountdown.load(std::memory_order_relaxed);
    while (current > 0) {
        if (failCountdown.compare_exchange_weak(current, current - 1, std::memory_order_relaxed)) return current == 1;
    }
    return false;
}

}  // namespace

void FailNthNothrowAllocation(int n) { failCountdown.store(n, std::memory_order_relaxed); }
long NothrowAllocations() { return nothrowAllocations.load(std::memory_order_relaxed); }
void CountThisThreadsAllocations(bool on) {
    counting = on;
    if (on) counted = 0;
}
long ThisThreadsAllocations() { return counted; }

}  // namespace testsupport

void* operator new(std::size_t size) {
    void* p = testsupport::Allocate(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t size) {
    void* p = testsupport::Allocate(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (testsupport::ShouldFailNothrow()) return nullptr;
    return testsupport::Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (testsupport::ShouldFailNothrow()) return nullptr;
    return testsupport::Allocate(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
