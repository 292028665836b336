// SHA-512 (FIPS 180-4): a streaming hasher, a one-shot digest, and the block
// compression in a portable and an AVX2 implementation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

// CMake defines QUORLIX_SHA512_X86_64 when it builds the AVX2 compression.
#if defined(__x86_64__) && defined(QUORLIX_SHA512_X86_64)
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

// The one entry point every caller goes through.
void compress(uint64_t state[8], const uint8_t* blocks, size_t count) noexcept;

void sha512_compress_portable(uint64_t state[8], const uint8_t* blocks, size_t count) noexcept;

#if QUORLIX_SHA512_HAVE_AVX2
// Only for processors with AVX2 whose operating system saves the ymm state.
void sha512_compress_x86_64_avx2(uint64_t state[8], const uint8_t* blocks, size_t count) noexcept;
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

    // Writes the digest of everything passed to update(). The hasher must not
    // be used afterwards.
    void finalize_into(std::span<uint8_t, DIGEST_LEN> out) noexcept;
    Digest finalize() noexcept;

private:
    uint64_t state_[8];
    unsigned __int128 blocks_;  // 128-byte blocks compressed so far
    uint8_t buffer_[BLOCK_LEN];
    uint8_t position_;  // bytes in buffer_, always below BLOCK_LEN
};

static_assert(std::is_trivially_copyable_v<Sha512Hasher>);

Digest sha512_digest(std::span<const uint8_t> bytes) noexcept;

}  // namespace quorlix::sha512
