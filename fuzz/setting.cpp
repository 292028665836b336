// hashpw's setting parser against a reference that reads the setting the
// plain way: split on "$", keep the non-empty pieces, check each in turn.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bcrypt/radix64.h"
#include "bcrypt/setting.h"
#include "check.h"

using namespace quorlix::bcrypt;

namespace {

constexpr std::string_view ALPHABET = quorlix::radix64::ALPHABET;

std::optional<Setting> reference_parse(std::string_view text) {
    std::vector<std::string> pieces;
    std::string current;
    for (char c : text) {
        if (c == '$') {
            if (!current.empty()) pieces.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) pieces.push_back(current);
    if (pieces.size() != 3) return std::nullopt;

    const std::string& v = pieces[0];
    Version version;
    if (v == "2a") {
        version = Version::V2a;
    } else if (v == "2b") {
        version = Version::V2b;
    } else if (v == "2x") {
        version = Version::V2x;
    } else if (v == "2y") {
        version = Version::V2y;
    } else {
        return std::nullopt;
    }

    std::string digits = pieces[1];
    if (digits[0] == '+') digits.erase(0, 1);
    if (digits.empty()) return std::nullopt;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    // Compare as text, without leading zeros, against the largest u32.
    const size_t first = digits.find_first_not_of('0');
    const std::string significant = first == std::string::npos ? "0" : digits.substr(first);
    const std::string max = "4294967295";
    if (significant.size() > max.size() ||
        (significant.size() == max.size() && significant > max)) {
        return std::nullopt;
    }
    const uint32_t cost = uint32_t(std::stoull(significant));

    // 22 symbols hold 132 bits: the 128 salt bits and four zero bits.
    const std::string& s = pieces[2];
    if (s.size() < 22) return std::nullopt;
    std::vector<bool> bits;
    for (size_t i = 0; i < 22; i++) {
        const size_t value = ALPHABET.find(s[i]);
        if (value == std::string_view::npos) return std::nullopt;
        for (int b = 5; b >= 0; b--) bits.push_back((value >> b) & 1);
    }
    for (size_t i = 128; i < 132; i++) {
        if (bits[i]) return std::nullopt;
    }
    Setting out{version, cost, {}};
    for (size_t i = 0; i < 128; i++) out.salt[i / 8] = uint8_t(out.salt[i / 8] << 1 | bits[i]);
    return out;
}

std::string_view salt_piece(std::string_view text) {
    // The third non-empty piece: where the reference found the salt.
    size_t seen = 0, i = 0;
    while (i < text.size()) {
        if (text[i] == '$') {
            i++;
            continue;
        }
        const size_t end = std::min(text.find('$', i), text.size());
        if (++seen == 3) return text.substr(i, end - i);
        i = end;
    }
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto got = parse_setting(text);
    const auto want = reference_parse(text);
    FUZZ_CHECK(got.has_value() == want.has_value());
    if (got) {
        FUZZ_CHECK(got->version == want->version);
        FUZZ_CHECK(got->cost == want->cost);
        FUZZ_CHECK(got->salt == want->salt);
        // The salt re-encodes to the 22 characters it was read from.
        FUZZ_CHECK(quorlix::radix64::encode(got->salt) == salt_piece(text).substr(0, 22));
    }
    return 0;
}
