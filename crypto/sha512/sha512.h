// SHA-512 (FIPS 180-4): a streaming hasher, a one-shot digest, and a block
// compression that picks an AVX2 implementation when the processor and the
// operating system allow it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

// The AVX2 compression exists where the compiler targets x86-64 and can
// compile single functions for AVX2 (GCC and clang).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUORLIX_SHA512_HAVE_AVX2 1
#else
#define QUORLIX_SHA512_HAVE_AVX2 0
#endif

namespace quorlix::sha512 {

inline constexpr size_t BLOCK_LEN = 128;
inline constexpr size_t DIGEST_LEN = 64;

using Digest = std::array<uint8_t, DIGEST_LEN>;

///////////////////
/// Compression ///
///////////////////
// Each applies the compression function to `count` consecutive 128-byte
// blocks, in order, updating the chaining state in place. A count of 0
// changes nothing. The blocks need no particular alignment.

using CompressFn = void (*)(uint64_t state[8], const uint8_t* blocks, size_t count) noexcept;

// The one entry point every caller goes through: runs chosen_compression().
void compress(uint64_t state[8], const uint8_t* blocks, size_t count) noexcept;

// The implementation compress() uses now; on x86-64 the first call detects
// AVX2 support.
CompressFn chosen_compression() noexcept;

void sha512_compress_portable(uint64_t state[8], const uint8_t* blocks, size_t count) noexcept;

#if QUORLIX_SHA512_HAVE_AVX2
// Only call it when avx2_cpuid::init_get() is true.
void sha512_compress_x86_64_avx2(uint64_t state[8], const uint8_t* blocks, size_t count) noexcept;

/////////////////////////
/// AVX2 availability ///
/////////////////////////
namespace avx2_cpuid {

inline constexpr uint8_t UNDETERMINED = 0xFF;

// 0xFF until the first compression of the process, then 1 (AVX2 usable) or 0
// for good. Relaxed loads and stores only: racing detections agree.
extern std::atomic<uint8_t> STORAGE;

// The answer from the three registers that decide it. read_xcr0() is only
// called once CPUID says XGETBV exists and the OS has enabled it.
template <class ReadXcr0>
bool avx2_usable(uint32_t leaf1_ecx, uint32_t leaf7_ebx, ReadXcr0&& read_xcr0) {
    constexpr uint32_t XSAVE = 1u << 26, OSXSAVE = 1u << 27, AVX = 1u << 28;
    constexpr uint32_t AVX2 = 1u << 5;
    constexpr uint64_t XCR0_SSE = 1u << 1, XCR0_AVX = 1u << 2;

    bool os_saves_ymm = false;
    if ((leaf1_ecx & XSAVE) && (leaf1_ecx & OSXSAVE)) {
        const uint64_t xcr0 = read_xcr0();
        os_saves_ymm = (xcr0 & XCR0_SSE) && (xcr0 & XCR0_AVX);
    }
    return (leaf1_ecx & AVX) && os_saves_ymm && (leaf7_ebx & AVX2);
}

struct CpuidRegs {
    uint32_t eax, ebx, ecx, edx;
};
CpuidRegs cpuid(uint32_t leaf) noexcept;
CpuidRegs cpuid_count(uint32_t leaf, uint32_t subleaf) noexcept;
uint64_t xgetbv(uint32_t xcr) noexcept;

// Detects from CPUID leaf 1, leaf 7 sub-leaf 0 and XCR0, records the answer
// in STORAGE and returns it.
bool init_inner() noexcept;
// The recorded answer, detecting first if there is none yet.
bool init_get() noexcept;

}  // namespace avx2_cpuid
#endif

///////////////
/// Hashing ///
///////////////
// Plain data: copying a hasher is a plain copy, and the copy continues on its
// own.
class Sha512Hasher {
public:
    Sha512Hasher() noexcept;

    void update(std::span<const uint8_t> bytes) noexcept;

    // Writes the digest of everything passed to update(), then wipes the
    // hasher, which must not be used afterwards.
    void finalize_into(std::span<uint8_t, DIGEST_LEN> out) noexcept;
    Digest finalize() noexcept;

private:
    uint64_t state_[8];
    uint64_t blocks_;  // 128-byte blocks compressed so far
    uint8_t buffer_[BLOCK_LEN];
    uint8_t position_;  // bytes in buffer_, always below BLOCK_LEN
};

static_assert(std::is_trivially_copyable_v<Sha512Hasher>);

Digest sha512_digest(std::span<const uint8_t> bytes) noexcept;

}  // namespace quorlix::sha512
