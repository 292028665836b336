// The bcrypt core's copy of the password must be cleared before its memory
// goes back to the allocator. This binary replaces the global allocation
// functions, so it sees every block the core frees, with its contents, at
// the moment it is freed: a clearing that the optimiser dropped shows up as
// the password still sitting in the block.
#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bcrypt/bcrypt.h"

namespace {

// What the allocator watches for while armed. Plain globals: the allocation
// functions must not allocate themselves.
struct Watch {
    bool armed = false;
    const uint8_t* secret = nullptr;
    size_t secret_len = 0;
    size_t freed = 0;                // blocks freed while armed
    size_t freed_with_secret = 0;    // ... that still held the password
    size_t freed_zeroed_copies = 0;  // ... of the copy's size, all zero
    size_t copy_len = 0;             // password length + 1
};
Watch WATCH;

void inspect(void* p, size_t size) noexcept {
    if (!WATCH.armed || p == nullptr) return;
    WATCH.freed++;
    const auto* bytes = static_cast<const uint8_t*>(p);
    if (WATCH.secret_len > 0 && std::search(bytes, bytes + size, WATCH.secret,
                                            WATCH.secret + WATCH.secret_len) != bytes + size) {
        WATCH.freed_with_secret++;
    }
    if (size == WATCH.copy_len &&
        std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; })) {
        WATCH.freed_zeroed_copies++;
    }
}

// The sizes asked for while armed, since not every compiler passes the size
// to operator delete.
struct Allocation {
    void* p;
    size_t size;
};
Allocation LIVE[1024];

void* allocate(size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    if (WATCH.armed) {
        for (Allocation& a : LIVE) {
            if (a.p == nullptr) {
                a = {p, size};
                break;
            }
        }
    }
    return p;
}

void release(void* p) noexcept {
    if (p == nullptr) return;
    size_t size = malloc_usable_size(p);
    for (Allocation& a : LIVE) {
        if (a.p == p) {
            size = a.size;
            a = {};
            break;
        }
    }
    inspect(p, size);
    std::free(p);
}

}  // namespace

void* operator new(size_t size) { return allocate(size); }
void* operator new[](size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }

namespace {

constexpr std::array<uint8_t, 16> SALT = {0x10, 0x41, 0x04, 0x10, 0x41, 0x04, 0x10, 0x41,
                                          0x04, 0x10, 0x41, 0x04, 0x10, 0x41, 0x04, 0x10};

struct Observed {
    size_t freed, freed_with_secret, freed_zeroed_copies;
};

Observed hash_watched(const std::string& password) {
    const std::span<const uint8_t> pw(reinterpret_cast<const uint8_t*>(password.data()),
                                      password.size());
    WATCH = Watch{true, pw.data(), pw.size(), 0, 0, 0, pw.size() + 1};
    auto r = quorlix::bcrypt::_hash_password(pw, 4, SALT);
    WATCH.armed = false;
    EXPECT_TRUE(r.ok());
    return {WATCH.freed, WATCH.freed_with_secret, WATCH.freed_zeroed_copies};
}

}  // namespace

TEST(Secrets, PasswordCopyIsClearedBeforeItIsFreed) {
    // Short, exactly at the key limit, and longer than the key uses.
    for (const std::string& password :
         {std::string("Tr0ub4dor&3 is a fine password"), std::string(72, 'k'),
          std::string(100, 'q') + "tail that never reaches the key"}) {
        const Observed seen = hash_watched(password);
        EXPECT_EQ(seen.freed_with_secret, 0u) << password;
        // The copy itself was freed while we watched, and it was all zero.
        EXPECT_EQ(seen.freed_zeroed_copies, 1u) << password;
    }
}

TEST(Secrets, TheWatchSeesAnUnclearedCopy) {
    // The same observation on a copy freed without clearing must catch it,
    // or the test above proves nothing.
    const std::string password = "not cleared on purpose";
    WATCH = Watch{true,
                  reinterpret_cast<const uint8_t*>(password.data()),
                  password.size(),
                  0,
                  0,
                  0,
                  password.size() + 1};
    {
        std::vector<uint8_t> copy(password.size() + 1, 0);
        std::copy(password.begin(), password.end(), copy.begin());
        asm volatile("" : : "r"(copy.data()) : "memory");
    }
    WATCH.armed = false;
    EXPECT_EQ(WATCH.freed_with_secret, 1u);
    EXPECT_EQ(WATCH.freed_zeroed_copies, 0u);
}
