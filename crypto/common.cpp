// The cores' panic, the wipe and the constant-time comparison.
#include "common.h"

#include <utility>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace quorlix {

void panic(std::string message) { throw Panic{std::move(message)}; }

void wipe(void* buf, size_t len) noexcept {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(buf);
    for (size_t i = 0; i < len; i++) p[i] = 0;
#if defined(_MSC_VER) && !defined(__clang__)
    _ReadWriteBarrier();  // MSVC takes no inline asm
#else
    __asm__ __volatile__("" : : "r"(buf) : "memory");
#endif
}

QUORLIX_NOINLINE uint8_t optimisation_barrier(uint8_t v) noexcept {
    volatile uint8_t slot = v;
    return slot;
}

bool constant_time_eq(const uint8_t* a, size_t a_len, const uint8_t* b, size_t b_len) noexcept {
    if (a_len != b_len) return false;
    uint8_t acc = 1;
    for (size_t i = 0; i < a_len; i++) acc &= optimisation_barrier(uint8_t(a[i] == b[i]));
    return optimisation_barrier(acc) == 1;
}

}  // namespace quorlix
