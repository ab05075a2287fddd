// Thin wrappers over the Linux futex calls, on a 32-bit atomic word.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kwin {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word is 32 bits");

// Sleeps while *word == expected, until woken or until the CLOCK_MONOTONIC
// deadline (null: no deadline). Returns false on timeout. Not a cancellation
// point: callers check for termination themselves.
inline bool FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* deadline) {
    long rc = syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected,
                      deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
    return !(rc == -1 && errno == ETIMEDOUT);
}

inline void FutexWake(std::atomic<uint32_t>* word, int count) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, count, nullptr, nullptr, 0);
}

}  // namespace kwin
