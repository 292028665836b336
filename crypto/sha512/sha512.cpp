// SHA-512 hashing, and the choice of compression made once from the
// processor's features.
#include "sha512/sha512.h"

#include <cstring>

#include "common.h"

namespace quorlix::sha512 {

namespace {

constexpr uint64_t INITIAL_STATE[8] = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179,
};

}  // namespace

////////////////////////////
/// Choosing compression ///
////////////////////////////
#if QUORLIX_SHA512_HAVE_AVX2
namespace avx2_cpuid {

// Relaxed atomics suffice: threads that detect at once store the same answer.
std::atomic<uint8_t> STORAGE{UNDETERMINED};

CpuidRegs cpuid(uint32_t leaf) noexcept { return cpuid_count(leaf, 0); }

CpuidRegs cpuid_count(uint32_t leaf, uint32_t subleaf) noexcept {
    CpuidRegs r;
    __asm__ __volatile__("cpuid"
                         : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx)
                         : "a"(leaf), "c"(subleaf));
    return r;
}

// Inline assembly rather than _xgetbv(), which would need -mxsave.
uint64_t xgetbv(uint32_t xcr) noexcept {
    uint32_t lo, hi;
    __asm__ __volatile__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(xcr));
    return (uint64_t(hi) << 32) | lo;
}

bool init_inner() noexcept {
    const uint32_t leaf1_ecx = cpuid(1).ecx;
    const uint32_t leaf7_ebx = cpuid_count(7, 0).ebx;
    const bool usable = avx2_usable(leaf1_ecx, leaf7_ebx, [] { return xgetbv(0); });
    STORAGE.store(usable ? 1 : 0, std::memory_order_relaxed);
    return usable;
}

bool init_get() noexcept {
    const uint8_t recorded = STORAGE.load(std::memory_order_relaxed);
    return recorded == UNDETERMINED ? init_inner() : recorded == 1;
}

}  // namespace avx2_cpuid
#endif

CompressFn chosen_compression() noexcept {
#if QUORLIX_SHA512_HAVE_AVX2
    const uint8_t recorded = avx2_cpuid::STORAGE.load(std::memory_order_relaxed);
    if (recorded == 1 || (recorded == avx2_cpuid::UNDETERMINED && avx2_cpuid::init_inner())) {
        return sha512_compress_x86_64_avx2;
    }
#endif
    return sha512_compress_portable;
}

void compress(uint64_t state[8], const uint8_t* blocks, size_t count) noexcept {
    chosen_compression()(state, blocks, count);
}

///////////////
/// Hashing ///
///////////////
Sha512Hasher::Sha512Hasher() noexcept : blocks_(0), buffer_{}, position_(0) {
    std::memcpy(state_, INITIAL_STATE, sizeof state_);
}

void Sha512Hasher::update(std::span<const uint8_t> bytes) noexcept {
    const uint8_t* in = bytes.data();
    size_t len = bytes.size();
    if (position_ + len < BLOCK_LEN) {
        if (len > 0) std::memcpy(buffer_ + position_, in, len);
        position_ += uint8_t(len);
        return;
    }
    if (position_ > 0) {
        const size_t fill = BLOCK_LEN - position_;
        std::memcpy(buffer_ + position_, in, fill);
        compress(state_, buffer_, 1);
        blocks_ += 1;
        in += fill;
        len -= fill;
    }
    const size_t whole = len / BLOCK_LEN;
    compress(state_, in, whole);
    blocks_ += whole;
    in += whole * BLOCK_LEN;
    len -= whole * BLOCK_LEN;

    if (len > 0) std::memcpy(buffer_, in, len);
    position_ = uint8_t(len);
}

void Sha512Hasher::finalize_into(std::span<uint8_t, DIGEST_LEN> out) noexcept {
    // The message length in bits, 128 of them, without a 128-bit type
    // (MSVC has none): blocks_ * 1024 + position_ * 8, position_ below 128.
    const uint64_t bits_high = blocks_ >> 54;
    const uint64_t bits_low = (blocks_ << 10) | (uint64_t(position_) << 3);
    buffer_[position_] = 0x80;
    std::memset(buffer_ + position_ + 1, 0, BLOCK_LEN - position_ - 1);
    // The length takes the last 16 bytes; past 111 bytes it needs a block
    // of its own.
    if (position_ >= BLOCK_LEN - 16) {
        compress(state_, buffer_, 1);
        std::memset(buffer_, 0, BLOCK_LEN - 16);
    }
    store64_be(buffer_ + BLOCK_LEN - 16, bits_high);
    store64_be(buffer_ + BLOCK_LEN - 8, bits_low);
    compress(state_, buffer_, 1);

    for (int i = 0; i < 8; i++) store64_be(out.data() + 8 * i, state_[i]);
    // The buffer may hold the tail of a secret, and the state leads to it.
    wipe(this, sizeof *this);
}

Digest Sha512Hasher::finalize() noexcept {
    Digest out;
    finalize_into(out);
    return out;
}

// A fresh hasher's update() compresses whole blocks straight from the input
// and buffers only the tail.
Digest sha512_digest(std::span<const uint8_t> bytes) noexcept {
    Sha512Hasher h;
    h.update(bytes);
    return h.finalize();
}

}  // namespace quorlix::sha512
