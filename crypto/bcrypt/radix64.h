// bcrypt's radix-64 text encoding: base64 grouping over the alphabet
// "./A-Za-z0-9", no padding, strict decoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common.h"

namespace quorlix::radix64 {

inline constexpr std::string_view ALPHABET =
    "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

struct Radix64Error {
    enum class Kind : uint8_t { BadSymbol, BadLength, BadLastSymbol, BadPadding };
    Kind kind;
    size_t offset = 0;  // unused for BadPadding
    uint8_t byte = 0;   // only for BadSymbol and BadLastSymbol

    friend bool operator==(const Radix64Error&, const Radix64Error&) = default;
};

// Length of the encoding of n bytes: 4 per whole group, 2 or 3 for a tail.
constexpr size_t encoded_len(size_t n) {
    constexpr size_t tail[3] = {0, 2, 3};
    return 4 * (n / 3) + tail[n % 3];
}

// Length of the bytes decoded from m symbols (m mod 4 != 1).
constexpr size_t decoded_len(size_t m) {
    constexpr size_t tail[4] = {0, 0, 1, 2};
    return 3 * (m / 4) + tail[m % 4];
}

// Writes encoded_len(in.size()) characters to out.
void encode_into(std::span<const uint8_t> in, char* out) noexcept;
std::string encode(std::span<const uint8_t> in);

// Writes at most decoded_len(text.size()) bytes to out and returns how many.
Result<size_t, Radix64Error> decode_into(std::string_view text, uint8_t* out) noexcept;
Result<std::vector<uint8_t>, Radix64Error> decode(std::string_view text);

}  // namespace quorlix::radix64
