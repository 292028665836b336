// Reading a setting string or hash string: "$2b$12$" and 22 salt characters,
// optionally followed by anything else after the salt.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "bcrypt/bcrypt.h"

namespace quorlix::bcrypt {

struct Setting {
    Version version;
    uint32_t cost;  // not range-checked here: _hash_password does that
    std::array<uint8_t, SALT_BYTES> salt;
};

// Pieces between "$" signs, empty ones dropped, must be exactly: a version
// ("2a", "2b", "2x", "2y"), a decimal cost with an optional "+", and at least
// 22 characters whose first 22 decode strictly to the 16-byte salt.
std::optional<Setting> parse_setting(std::string_view text) noexcept;

}  // namespace quorlix::bcrypt
