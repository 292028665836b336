// Reading a setting or hash string into its version, cost and salt.
#include "bcrypt/setting.h"

#include "bcrypt/radix64.h"

namespace quorlix::bcrypt {

namespace {

constexpr size_t SALT_CHARS = radix64::encoded_len(SALT_BYTES);

std::optional<Version> parse_version(std::string_view piece) {
    if (piece.size() != 2 || piece[0] != '2') return std::nullopt;
    switch (piece[1]) {
        case 'a': return Version::V2a;
        case 'b': return Version::V2b;
        case 'x': return Version::V2x;
        case 'y': return Version::V2y;
        default: return std::nullopt;
    }
}

std::optional<uint32_t> parse_cost(std::string_view piece) {
    if (!piece.empty() && piece[0] == '+') piece.remove_prefix(1);
    if (piece.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : piece) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + uint64_t(c - '0');
        if (value > UINT32_MAX) return std::nullopt;
    }
    return uint32_t(value);
}

}  // namespace

std::optional<Setting> parse_setting(std::string_view text) noexcept {
    std::string_view pieces[3];
    size_t count = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('$', start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) {
            if (count == 3) return std::nullopt;
            pieces[count++] = text.substr(start, end - start);
        }
        start = end + 1;
    }
    if (count != 3) return std::nullopt;

    auto version = parse_version(pieces[0]);
    if (!version) return std::nullopt;
    auto cost = parse_cost(pieces[1]);
    if (!cost) return std::nullopt;
    if (pieces[2].size() < SALT_CHARS) return std::nullopt;

    uint8_t salt[radix64::decoded_len(SALT_CHARS) + 1];
    auto decoded = radix64::decode_into(pieces[2].substr(0, SALT_CHARS), salt);
    if (!decoded || decoded.value() != SALT_BYTES) return std::nullopt;

    Setting s{*version, *cost, {}};
    std::copy(salt, salt + SALT_BYTES, s.salt.begin());
    return s;
}

}  // namespace quorlix::bcrypt
