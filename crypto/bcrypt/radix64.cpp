// bcrypt's radix-64 encoder and its strict decoder.
#include "bcrypt/radix64.h"

#include <array>

namespace quorlix::radix64 {

namespace {

constexpr uint8_t INVALID = 0xFF;

constexpr std::array<uint8_t, 256> make_reverse() {
    std::array<uint8_t, 256> t{};
    for (auto& v : t) v = INVALID;
    for (size_t i = 0; i < ALPHABET.size(); i++) t[uint8_t(ALPHABET[i])] = uint8_t(i);
    return t;
}

constexpr std::array<uint8_t, 256> REVERSE = make_reverse();

constexpr uint8_t value_of(char c) { return REVERSE[uint8_t(c)]; }

Err<Radix64Error> bad_symbol(size_t offset, char c) {
    return Err{Radix64Error{Radix64Error::Kind::BadSymbol, offset, uint8_t(c)}};
}

}  // namespace

/////////////////
/// Encoding ///
/////////////////
void encode_into(std::span<const uint8_t> in, char* out) noexcept {
    size_t i = 0;
    for (; i + 3 <= in.size(); i += 3) {
        uint32_t n = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
        *out++ = ALPHABET[n >> 18];
        *out++ = ALPHABET[(n >> 12) & 63];
        *out++ = ALPHABET[(n >> 6) & 63];
        *out++ = ALPHABET[n & 63];
    }
    size_t rest = in.size() - i;
    if (rest == 1) {
        *out++ = ALPHABET[in[i] >> 2];
        *out++ = ALPHABET[(in[i] & 3) << 4];
    } else if (rest == 2) {
        *out++ = ALPHABET[in[i] >> 2];
        *out++ = ALPHABET[((in[i] & 3) << 4) | (in[i + 1] >> 4)];
        *out++ = ALPHABET[(in[i + 1] & 15) << 2];
    }
}

std::string encode(std::span<const uint8_t> in) {
    std::string s(encoded_len(in.size()), '\0');
    encode_into(in, s.data());
    return s;
}

/////////////////
/// Decoding ///
/////////////////
Result<size_t, Radix64Error> decode_into(std::string_view text, uint8_t* out) noexcept {
    const size_t n = text.size();
    if (n % 4 == 1 && text[n - 1] != '=' && value_of(text[n - 1]) == INVALID) {
        return bad_symbol(n - 1, text[n - 1]);
    }

    // The final group is the last 1 to 4 bytes; everything before it is body.
    size_t body = 0;
    if (n % 4 != 0) {
        body = n - n % 4;
    } else if (n >= 4) {
        body = n - 4;
    }

    size_t w = 0;
    for (size_t i = 0; i < body; i += 4) {
        uint32_t acc = 0;
        for (size_t j = i; j < i + 4; j++) {
            uint8_t v = value_of(text[j]);
            if (v == INVALID) return bad_symbol(j, text[j]);
            acc = (acc << 6) | v;
        }
        out[w++] = uint8_t(acc >> 16);
        out[w++] = uint8_t(acc >> 8);
        out[w++] = uint8_t(acc);
    }
    if (n == 0) return w;

    uint32_t bits = 0;
    size_t symbols = 0;
    size_t pad_at = SIZE_MAX;
    for (size_t j = body; j < n; j++) {
        const size_t place = j - body;
        if (pad_at != SIZE_MAX) {
            if (text[j] != '=') return bad_symbol(pad_at, '=');
            continue;
        }
        if (text[j] == '=') {
            if (place < 2) return bad_symbol(j, '=');
            pad_at = j;
            continue;
        }
        uint8_t v = value_of(text[j]);
        if (v == INVALID) return bad_symbol(j, text[j]);
        bits = (bits << 6) | v;
        symbols++;
    }
    if (symbols == 1) return Err{Radix64Error{Radix64Error::Kind::BadLength, n, 0}};
    if (pad_at != SIZE_MAX) return Err{Radix64Error{Radix64Error::Kind::BadPadding, 0, 0}};

    // k symbols hold 6k bits: floor(6k/8) bytes plus 4, 2 or 0 spare low bits.
    const size_t bytes = symbols * 6 / 8;
    const size_t spare = symbols * 6 - bytes * 8;
    if ((bits & ((1u << spare) - 1)) != 0) {
        return Err{Radix64Error{Radix64Error::Kind::BadLastSymbol, n - 1, uint8_t(text[n - 1])}};
    }
    bits >>= spare;
    for (size_t k = bytes; k-- > 0;) out[w++] = uint8_t(bits >> (8 * k));
    return w;
}

Result<std::vector<uint8_t>, Radix64Error> decode(std::string_view text) {
    std::vector<uint8_t> out(decoded_len(text.size()) + 1);
    auto r = decode_into(text, out.data());
    if (!r) return Err{r.error()};
    out.resize(r.value());
    return out;
}

}  // namespace quorlix::radix64
