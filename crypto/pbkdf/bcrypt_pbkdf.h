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

enum class Error : uint8_t {
    InvalidParamLen,
    InvalidRounds,
    InvalidOutputLen,
    InvalidMemoryLen,
    Interrupted,  // stopped by its Cancel
};

// The value's name, for reports of an error that should not happen.
std::string_view error_name(Error e) noexcept;

inline constexpr size_t BLOCK_LEN = 32;          // one Bhash output
inline constexpr size_t MAX_OUTPUT_LEN = 1024;   // 32 blocks of 32 bytes
inline constexpr size_t STACK_MEMORY_LEN = 256;  // bcrypt_pbkdf's stack scratch

constexpr size_t stride_for(size_t output_len) { return (output_len + BLOCK_LEN - 1) / BLOCK_LEN; }

// The pseudo-random function: one object, one 32-byte output. Finalising
// polls cancel once per step of its key expansion and consumes the object:
// it is wiped, as is everything derived from it, however finalising ends.
class Bhash {
public:
    explicit Bhash(const sha512::Digest& password_digest) noexcept : key_(password_digest) {}

    void update(std::span<const uint8_t> bytes) noexcept { hasher_.update(bytes); }
    Result<void, Error> finalize_into(std::span<uint8_t, BLOCK_LEN> out,
                                      const Cancel& cancel = {}) &&;

    // N objects finalised side by side, outs[k] getting what
    // hashes[k].finalize_into would write. Built for N = 1 to MAX_LANES.
    template <size_t N>
    static Result<void, Error> finalize_lanes(std::array<Bhash, N>& hashes,
                                              uint8_t (&outs)[N][BLOCK_LEN],
                                              const Cancel& cancel = {});

private:
    sha512::Digest key_;
    sha512::Sha512Hasher hasher_;
};

// Fills output from password, salt and rounds, using memory (at least
// 32 * stride bytes, contents irrelevant) for the PBKDF2 blocks. Allocates
// nothing; when a parameter is refused neither buffer is written. cancel is
// polled once per step of each key expansion; when it stops the work,
// output is left as it was and memory is zeroed.
Result<void, Error> bcrypt_pbkdf_with_memory(std::span<const uint8_t> password,
                                             std::span<const uint8_t> salt, uint32_t rounds,
                                             std::span<uint8_t> output, std::span<uint8_t> memory,
                                             const Cancel& cancel = {});

// bcrypt_pbkdf_with_memory advances the independent PBKDF2 blocks in groups
// of up to MAX_LANES, running their Blowfish work interleaved: each lane
// added, up to four, lowers the time per block (docs/benchmarks.md).
inline constexpr size_t MAX_LANES = 4;

// bcrypt_pbkdf_with_memory with groups of at most max_lanes blocks (clamped
// to 1 .. MAX_LANES; 1 computes one block after another). The result does
// not depend on it: tests and benchmarks hold the groupings against each
// other.
Result<void, Error> bcrypt_pbkdf_with_lanes(std::span<const uint8_t> password,
                                            std::span<const uint8_t> salt, uint32_t rounds,
                                            std::span<uint8_t> output, std::span<uint8_t> memory,
                                            size_t max_lanes, const Cancel& cancel = {});

// The same with scratch memory of its own, wiped after use: on the stack up
// to 256 bytes of output, on the heap beyond.
Result<void, Error> bcrypt_pbkdf(std::span<const uint8_t> password, std::span<const uint8_t> salt,
                                 uint32_t rounds, std::span<uint8_t> output,
                                 const Cancel& cancel = {});

}  // namespace quorlix::pbkdf
