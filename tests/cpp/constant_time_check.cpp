// Checks that the hash comparison's branches and addresses never depend on
// the bytes it compares. Under valgrind's memcheck the two hash strings are
// marked undefined, so any jump or memory access that depends on them is
// reported as a use of uninitialised data; only the verdict is marked
// defined again before it is read. Without valgrind the marks do nothing
// and the program checks the verdicts alone.
//
//   constant_time_check           the real comparison: memcheck finds nothing
//   constant_time_check --leaky   a comparison with an early exit, which
//                                 memcheck must report: proof that the check
//                                 can fail
#include <valgrind/memcheck.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "common.h"

namespace {

// memcmp-style: leaves at the first difference.
bool leaky_eq(const uint8_t* a, size_t a_len, const uint8_t* b, size_t b_len) noexcept {
    if (a_len != b_len) return false;
    for (size_t i = 0; i < a_len; i++) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

using Compare = bool (*)(const uint8_t*, size_t, const uint8_t*, size_t) noexcept;

struct Case {
    std::string_view a, b;
    bool equal;
};

constexpr std::string_view HASH = "$2b$04$TI13sbmh3IHnmRepeEFoJOkVZWsn5S1O8QOwm8ZU5gNIpJog9pXZm";

// The same hash, then one that differs in its first byte, in a middle byte,
// in its last byte, and in every byte.
constexpr Case CASES[] = {
    {HASH, HASH, true},
    {HASH, "x2b$04$TI13sbmh3IHnmRepeEFoJOkVZWsn5S1O8QOwm8ZU5gNIpJog9pXZm", false},
    {HASH, "$2b$04$TI13sbmh3IHnmRepeEFoJOkVZWsn5S1O9QOwm8ZU5gNIpJog9pXZm", false},
    {HASH, "$2b$04$TI13sbmh3IHnmRepeEFoJOkVZWsn5S1O8QOwm8ZU5gNIpJog9pXZn", false},
    {HASH, "#3c#15#UJ24tcni4JIonSfqfFGpKPlWAXto6T2P9RPxn9AV6hOJqKph0qYAn", false},
};

// Copies both strings into buffers of their own, marks those undefined,
// compares, and marks only the verdict defined before reading it.
bool verdict(Compare eq, std::string_view a, std::string_view b) {
    uint8_t x[64], y[64];
    std::memcpy(x, a.data(), a.size());
    std::memcpy(y, b.data(), b.size());
    VALGRIND_MAKE_MEM_UNDEFINED(x, a.size());
    VALGRIND_MAKE_MEM_UNDEFINED(y, b.size());
    bool same = eq(x, a.size(), y, b.size());
    VALGRIND_MAKE_MEM_DEFINED(&same, sizeof same);
    return same;
}

}  // namespace

int main(int argc, char** argv) {
    const bool leaky = argc > 1 && std::string_view(argv[1]) == "--leaky";
    const Compare eq = leaky ? leaky_eq : quorlix::constant_time_eq;
    int wrong = 0;
    for (const Case& c : CASES) {
        if (verdict(eq, c.a, c.b) != c.equal) {
            std::fprintf(stderr, "wrong verdict for %.*s\n", int(c.b.size()), c.b.data());
            wrong++;
        }
    }
    std::printf("%s: %d wrong verdicts, %s\n", leaky ? "early-exit comparison" : "constant_time_eq",
                wrong, RUNNING_ON_VALGRIND ? "under memcheck" : "without valgrind");
    return wrong == 0 ? 0 : 1;
}
