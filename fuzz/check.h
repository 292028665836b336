// What the fuzz targets share: a failed property aborts with its text, which
// libFuzzer then records as a crash with the input that caused it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#define FUZZ_CHECK(cond)                                                                     \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

// The fuzzer's bytes read front to back; past their end, zeros and empty
// spans, so that every input decodes to some case.
struct FuzzInput {
    const uint8_t* data;
    size_t size;
    uint8_t byte() {
        if (size == 0) return 0;
        size--;
        return *data++;
    }
    std::span<const uint8_t> take(size_t n) {
        n = std::min(n, size);
        std::span<const uint8_t> b(data, n);
        data += n;
        size -= n;
        return b;
    }
};
