// The bcrypt password hash and its 60-character hash string.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common.h"

namespace quorlix::bcrypt {

// The text between the first two '$' of a hash string. It names the string's
// dialect only; every version hashes alike.
enum class Version : uint8_t { V2a = 0, V2x = 1, V2y = 2, V2b = 3 };

std::string_view version_text(Version v) noexcept;

struct BcryptError {
    enum class Kind : uint8_t { CostOutOfRange, Interrupted };
    Kind kind;
    uint32_t cost;  // the rejected or interrupted cost

    friend bool operator==(const BcryptError&, const BcryptError&) = default;
};

inline constexpr size_t SALT_BYTES = 16;
inline constexpr size_t RAW_BYTES = 24;
inline constexpr size_t MAX_KEY_BYTES = 72;
inline constexpr uint32_t MIN_COST = 4;
inline constexpr uint32_t MAX_COST = 31;

struct HashParts {
    uint32_t cost;     // MIN_COST to MAX_COST
    std::string salt;  // 22 radix-64 characters: the 16 salt bytes
    std::string hash;  // 31 radix-64 characters: raw output bytes 0..22

    // "$" version "$" cost (two digits) "$" salt hash: 60 characters.
    std::string format_for_version(Version v) const;
};

using RawHash = std::array<uint8_t, RAW_BYTES>;

// The raw hash of a prepared key of 1 to MAX_KEY_BYTES bytes, polling cancel
// once per iteration of the cost loop. Panics when the key length or then the
// cost (at most MAX_COST) is out of range.
Result<RawHash, BcryptError> bcrypt(uint32_t cost, std::span<const uint8_t, SALT_BYTES> salt,
                                    std::span<const uint8_t> key, const Cancel& cancel = {});

// The bcrypt hash of a password of any length, as the parts of its hash
// string: the key is the password with a NUL byte appended, cut to
// MAX_KEY_BYTES. Costs outside MIN_COST..MAX_COST are refused.
Result<HashParts, BcryptError> _hash_password(std::span<const uint8_t> password, uint32_t cost,
                                              std::span<const uint8_t, SALT_BYTES> salt,
                                              const Cancel& cancel = {});

// The parts of the hash string of raw, the hash of a key with this salt
// and cost.
HashParts hash_parts(uint32_t cost, std::span<const uint8_t, SALT_BYTES> salt, const RawHash& raw);

///////////////////////////
/// Hashes in lockstep ///
///////////////////////////
// Separate hashes of one cost take little more time than one when their
// key schedules advance together (blowfish.h, States<N>): one hash's chain
// of lookups leaves most of the core idle. Six at once take 0.28 of the
// time each that one alone does; seven or more take longer again, their
// halves no longer fitting in registers (docs/benchmarks.md, "The measurements behind
// the cores' choices").
inline constexpr size_t MAX_LANES = 6;

struct LaneInput {
    std::span<const uint8_t> password;  // any length: the key is prepared as _hash_password does
    std::span<const uint8_t, SALT_BYTES> salt;
};

// out[i] = the raw hash of items[i] at this cost, for every i: the hash
// _hash_password gives, before its text. The items go in groups of up to
// MAX_LANES, each group polling cancel once per iteration of its cost loop.
// Costs outside MIN_COST..MAX_COST are refused, and when cancel stops the
// work out is zeroed. Panics unless out and items have the same length.
Result<void, BcryptError> hash_passwords(std::span<const LaneInput> items, uint32_t cost,
                                         std::span<RawHash> out, const Cancel& cancel = {});

// hash_passwords with groups of at most max_lanes items (clamped to
// 1..MAX_LANES). The hashes do not depend on it: tests and benchmarks hold
// the groupings against each other.
Result<void, BcryptError> hash_passwords_with_lanes(std::span<const LaneInput> items, uint32_t cost,
                                                    std::span<RawHash> out, size_t max_lanes,
                                                    const Cancel& cancel = {});

}  // namespace quorlix::bcrypt
