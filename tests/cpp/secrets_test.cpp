// What the cores derive from a password must be cleared before its memory
// is given back, however the computation ends. This binary replaces the
// global allocation functions, so it sees every block the cores free, with
// its contents, at the moment it is freed: a clearing that the optimiser
// dropped shows up as the password still sitting in the block. Stack
// memory is read back after the computation ran on a stack of our own.
#include <gtest/gtest.h>

#include <malloc.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "bcrypt/bcrypt.h"
#include "blowfish/blowfish.h"
#include "pbkdf/bcrypt_pbkdf.h"

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

std::span<const uint8_t> bytes_of(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Answers "stop" from poll number `at` on.
struct StopAt {
    int at;
    int polls = 0;
    quorlix::Cancel cancel() { return {&StopAt::poll, this}; }
    static bool poll(void* self) {
        auto& stop = *static_cast<StopAt*>(self);
        return ++stop.polls >= stop.at;
    }
};

Observed hash_watched(const std::string& password, const quorlix::Cancel& cancel = {}) {
    const auto pw = bytes_of(password);
    WATCH = Watch{true, pw.data(), pw.size(), 0, 0, 0, pw.size() + 1};
    auto r = quorlix::bcrypt::_hash_password(pw, 4, SALT, cancel);
    WATCH.armed = false;
    EXPECT_EQ(r.ok(), cancel.poll == nullptr);
    return {WATCH.freed, WATCH.freed_with_secret, WATCH.freed_zeroed_copies};
}

}  // namespace

TEST(Secrets, PasswordCopyIsClearedBeforeItIsFreed) {
    // Short, exactly at the key limit, and longer than the key uses.
    for (const std::string& password :
         {std::string("Tr0ub4dor&3 is a fine password"), std::string(72, 'k'),
          std::string(100, 'q') + "tail that never reaches the key"}) {
        for (int stop_at : {0, 1, 9}) {  // 0: never stopped
            StopAt stop{stop_at};
            const Observed seen =
                hash_watched(password, stop_at ? stop.cancel() : quorlix::Cancel{});
            EXPECT_EQ(seen.freed_with_secret, 0u) << password << ", stopped at " << stop_at;
            // The copy itself was freed while we watched, and it was all zero.
            EXPECT_EQ(seen.freed_zeroed_copies, 1u) << password << ", stopped at " << stop_at;
        }
    }
}

TEST(Secrets, KeyDerivationClearsItsScratchBlocks) {
    // 512 bytes of key take their 512 bytes of PBKDF2 blocks from the heap.
    std::vector<uint8_t> key(512);
    for (int stop_at : {0, 64 * 2 + 1}) {  // never; in the third round
        StopAt stop{stop_at};
        const quorlix::Cancel cancel = stop_at ? stop.cancel() : quorlix::Cancel{};
        WATCH = Watch{true, nullptr, 0, 0, 0, 0, key.size()};
        auto r = quorlix::pbkdf::bcrypt_pbkdf(bytes_of("pw"), bytes_of("salt"), 3, key, cancel);
        WATCH.armed = false;
        EXPECT_EQ(r.ok(), stop_at == 0);
        EXPECT_EQ(WATCH.freed_zeroed_copies, 1u) << "stopped at " << stop_at;
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

/////////////////////
/// Stack memory ///
/////////////////////
namespace {

namespace bf = quorlix::blowfish;

constexpr size_t STACK_BYTES = size_t(1) << 20;

// Runs f on a thread whose stack is a zeroed buffer of ours, then returns
// that buffer: what f left in its dead frames.
std::vector<uint8_t> stack_left_by(std::function<void()> f) {
    void* stack = std::aligned_alloc(4096, STACK_BYTES);
    std::memset(stack, 0, STACK_BYTES);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, STACK_BYTES);
    pthread_t thread;
    // f runs below 64 KiB of this frame, out of reach of what the thread
    // runs on its way out.
    auto body = [](void* fn) -> void* {
        uint8_t gap[64 * 1024];
        asm volatile("" : : "r"(gap) : "memory");
        (*static_cast<std::function<void()>*>(fn))();
        asm volatile("" : : "r"(gap) : "memory");
        return nullptr;
    };
    EXPECT_EQ(pthread_create(&thread, &attr, body, &f), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    const auto* p = static_cast<const uint8_t*>(stack);
    std::vector<uint8_t> left(p, p + STACK_BYTES);
    std::free(stack);
    return left;
}

bool found(const std::vector<uint8_t>& stack, std::span<const uint8_t> secret) {
    return std::search(stack.begin(), stack.end(), secret.begin(), secret.end()) != stack.end();
}

// Whether any 64 bytes of a state's S-boxes are there: the code that runs
// after the computation overwrites parts of its dead frames.
bool found(const std::vector<uint8_t>& stack, const bf::Blowfish& st) {
    const auto* boxes = reinterpret_cast<const uint8_t*>(st.s);
    for (size_t at = 0; at < sizeof st.s; at += 64) {
        if (found(stack, {boxes + at, 64})) return true;
    }
    return false;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool ADDRESS_SANITIZER = true;
#elif defined(__has_feature)
constexpr bool ADDRESS_SANITIZER = __has_feature(address_sanitizer);
#else
constexpr bool ADDRESS_SANITIZER = false;
#endif

const std::string PASSWORD = "Tr0ub4dor&3, or so they say";
const std::string KEY = PASSWORD + '\0';

// The state of bcrypt at its first poll: keyed once, before the cost loop.
bf::Blowfish bcrypt_state_at_first_poll() {
    bf::Blowfish st = bf::init_state();
    bf::salted_expand_key(st, SALT, bytes_of(KEY));
    return st;
}

// The state of bcrypt_pbkdf's first block at its first poll.
bf::Blowfish pbkdf_state_at_first_poll(std::span<const uint8_t> salt) {
    quorlix::sha512::Sha512Hasher h;
    h.update(salt);
    h.update(std::array<uint8_t, 4>{0, 0, 0, 1});
    const auto block_salt = h.finalize();
    bf::Blowfish st = bf::init_state();
    bf::salted_expand_key(st, block_salt, quorlix::sha512::sha512_digest(bytes_of(PASSWORD)));
    return st;
}

}  // namespace

// Whatever the cores compute, this must find in dead frames when nobody
// clears them, or the test below proves nothing.
TEST(SecretsOnTheStack, TheScanSeesWhatIsLeft) {
    if (ADDRESS_SANITIZER) GTEST_SKIP() << "frames carry redzones under AddressSanitizer";
    const bf::Blowfish want = bcrypt_state_at_first_poll();
    const auto left = stack_left_by([] {
        bf::Blowfish st = bcrypt_state_at_first_poll();
        asm volatile("" : : "r"(&st) : "memory");
    });
    EXPECT_TRUE(found(left, want));
}

TEST(SecretsOnTheStack, InterruptedComputationsLeaveNoneBehind) {
    if (ADDRESS_SANITIZER) GTEST_SKIP() << "frames carry redzones under AddressSanitizer";
    const std::string salt_text = "pepper and salt";
    const auto salt = bytes_of(salt_text);
    const auto digest = quorlix::sha512::sha512_digest(bytes_of(PASSWORD));
    const bf::Blowfish bcrypt_state = bcrypt_state_at_first_poll();
    const bf::Blowfish pbkdf_state = pbkdf_state_at_first_poll(salt);

    const auto bcrypt_left = stack_left_by([] {
        StopAt stop{1};
        EXPECT_FALSE(
            quorlix::bcrypt::_hash_password(bytes_of(PASSWORD), 4, SALT, stop.cancel()).ok());
    });
    EXPECT_FALSE(found(bcrypt_left, bcrypt_state));

    const auto key = bytes_of(KEY);
    for (size_t count : {size_t(1), size_t(2), quorlix::bcrypt::MAX_LANES}) {
        const auto left = stack_left_by([&] {
            StopAt stop{1};
            const std::vector<quorlix::bcrypt::LaneInput> items(count, {bytes_of(PASSWORD), SALT});
            std::vector<quorlix::bcrypt::RawHash> out(count);
            EXPECT_FALSE(quorlix::bcrypt::hash_passwords(items, 4, out, stop.cancel()).ok());
        });
        EXPECT_FALSE(found(left, bcrypt_state)) << count << " hashes";
        EXPECT_FALSE(found(left, key)) << count << " hashes";
    }

    for (size_t lanes = 1; lanes <= quorlix::pbkdf::MAX_LANES; lanes++) {
        const auto left = stack_left_by([&] {
            StopAt stop{1};
            std::vector<uint8_t> out(32 * lanes), memory(32 * lanes);
            EXPECT_FALSE(quorlix::pbkdf::bcrypt_pbkdf_with_lanes(bytes_of(PASSWORD), salt, 2, out,
                                                                 memory, lanes, stop.cancel())
                             .ok());
        });
        EXPECT_FALSE(found(left, pbkdf_state)) << lanes << " lanes";
        EXPECT_FALSE(found(left, digest)) << lanes << " lanes";
    }
}

// A batch keeps its keys on the stack: it gives no block back, so none can
// hold a password.
TEST(Secrets, BatchesAllocateNothing) {
    const std::vector<quorlix::bcrypt::LaneInput> items(3, {bytes_of(PASSWORD), SALT});
    std::vector<quorlix::bcrypt::RawHash> out(3);
    WATCH = Watch{true, nullptr, 0, 0, 0, 0, 0};
    EXPECT_TRUE(quorlix::bcrypt::hash_passwords(items, 4, out).ok());
    WATCH.armed = false;
    EXPECT_EQ(WATCH.freed, 0u);
}
