#include "common.h"

#include <cstdio>
#include <utility>

namespace quorlix {

void panic(std::string message) {
    std::fprintf(stderr, "quorlix: internal failure: %s\n", message.c_str());
    std::fflush(stderr);
    throw Panic{std::move(message)};
}

void wipe(void* buf, size_t len) noexcept {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(buf);
    for (size_t i = 0; i < len; i++) p[i] = 0;
    __asm__ __volatile__("" : : "r"(buf) : "memory");
}

}  // namespace quorlix
