// bcrypt_pbkdf: PBKDF2 with a Blowfish-based pseudo-random function keyed by
// the SHA-512 digest of the password, its blocks spread over the output.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common.h"
#include "sha512/sha512.h"

namespace quorlix::pbkdf {

enum class Error : uint8_t { InvalidParamLen, InvalidRounds, InvalidOutputLen, InvalidMemoryLen };

// The value's name, for reports of an error that should not happen.
std::string_view error_name(Error e) noexcept;

inline constexpr size_t BLOCK_LEN = 32;          // one Bhash output
inline constexpr size_t MAX_OUTPUT_LEN = 1024;   // 32 blocks of 32 bytes
inline constexpr size_t STACK_MEMORY_LEN = 256;  // bcrypt_pbkdf's stack scratch

constexpr size_t stride_for(size_t output_len) { return (output_len + BLOCK_LEN - 1) / BLOCK_LEN; }

// The pseudo-random function: one object, one 32-byte output.
class Bhash {
public:
    explicit Bhash(const sha512::Digest& password_digest) noexcept : key_(password_digest) {}

    void update(std::span<const uint8_t> bytes) noexcept { hasher_.update(bytes); }
    void finalize_into(std::span<uint8_t, BLOCK_LEN> out) && noexcept;

    // N objects finalised side by side, outs[k] getting what
    // hashes[k].finalize_into would write; the objects are consumed. Built
    // for N = 1 to MAX_LANES.
    template <size_t N>
    static void finalize_lanes(std::array<Bhash, N>& hashes,
                               uint8_t (&outs)[N][BLOCK_LEN]) noexcept;

private:
    sha512::Digest key_;
    sha512::Sha512Hasher hasher_;
};

// Fills output from password, salt and rounds, using memory (at least
// 32 * stride bytes, contents irrelevant) for the PBKDF2 blocks. Allocates
// nothing; on failure neither buffer is written.
Result<void, Error> bcrypt_pbkdf_with_memory(std::span<const uint8_t> password,
                                             std::span<const uint8_t> salt, uint32_t rounds,
                                             std::span<uint8_t> output,
                                             std::span<uint8_t> memory) noexcept;

// bcrypt_pbkdf_with_memory advances the independent PBKDF2 blocks in groups
// of up to MAX_LANES, running their Blowfish work interleaved. Time per
// block against one at a time, measured on Zen 4: 0.55 in groups of two,
// 0.41 in threes, 0.35 in fours.
inline constexpr size_t MAX_LANES = 4;

// bcrypt_pbkdf_with_memory with groups of at most max_lanes blocks (clamped
// to 1 .. MAX_LANES; 1 computes one block after another). The result does
// not depend on it: tests and benchmarks hold the groupings against each
// other.
Result<void, Error> bcrypt_pbkdf_with_lanes(std::span<const uint8_t> password,
                                            std::span<const uint8_t> salt, uint32_t rounds,
                                            std::span<uint8_t> output, std::span<uint8_t> memory,
                                            size_t max_lanes) noexcept;

// The same with scratch memory of its own: on the stack up to 256 bytes of
// output, on the heap beyond.
Result<void, Error> bcrypt_pbkdf(std::span<const uint8_t> password, std::span<const uint8_t> salt,
                                 uint32_t rounds, std::span<uint8_t> output);

}  // namespace quorlix::pbkdf
