// The strict radix-64 decoder against a reference that follows the decoding
// rules one by one, on arbitrary text; and encode/decode round trips.
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "bcrypt/radix64.h"
#include "check.h"

using namespace quorlix::radix64;
using Kind = Radix64Error::Kind;

namespace {

int symbol_value(uint8_t c) {
    const size_t at = ALPHABET.find(char(c));
    return at == std::string_view::npos ? -1 : int(at);
}

struct Reference {
    std::optional<Radix64Error> error;
    std::vector<uint8_t> bytes;
};

Radix64Error bad_symbol(size_t offset, uint8_t c) { return {Kind::BadSymbol, offset, c}; }

// Written from the rules, not from the decoder: bits go one at a time into a
// bit string, and bytes are cut from it at the end.
Reference reference_decode(std::string_view text) {
    const size_t n = text.size();
    auto at = [&](size_t i) { return uint8_t(text[i]); };
    if (n % 4 == 1 && at(n - 1) != '=' && symbol_value(at(n - 1)) < 0) {
        return {bad_symbol(n - 1, at(n - 1)), {}};
    }
    if (n == 0) return {};
    const size_t body = n % 4 != 0 ? n - n % 4 : n - 4;

    std::vector<bool> bits;
    auto push = [&](int v) {
        for (int b = 5; b >= 0; b--) bits.push_back((v >> b) & 1);
    };
    for (size_t i = 0; i < body; i++) {
        const int v = symbol_value(at(i));
        if (v < 0) return {bad_symbol(i, at(i)), {}};
        push(v);
    }
    const size_t body_bits = bits.size();

    size_t symbols = 0;
    std::optional<size_t> first_pad;
    for (size_t i = body; i < n; i++) {
        const size_t place = i - body;
        if (first_pad) {
            if (at(i) != '=') return {bad_symbol(*first_pad, '='), {}};
        } else if (at(i) == '=') {
            if (place < 2) return {bad_symbol(i, '='), {}};
            first_pad = i;
        } else {
            const int v = symbol_value(at(i));
            if (v < 0) return {bad_symbol(i, at(i)), {}};
            push(v);
            symbols++;
        }
    }
    if (symbols == 1) return {Radix64Error{Kind::BadLength, n, 0}, {}};
    if (first_pad) return {Radix64Error{Kind::BadPadding, 0, 0}, {}};

    const size_t whole = (bits.size() - body_bits) / 8 * 8 + body_bits;
    for (size_t i = whole; i < bits.size(); i++) {
        if (bits[i]) return {Radix64Error{Kind::BadLastSymbol, n - 1, at(n - 1)}, {}};
    }
    Reference r;
    for (size_t i = 0; i + 8 <= whole; i += 8) {
        uint8_t byte = 0;
        for (size_t b = 0; b < 8; b++) byte = uint8_t(byte << 1 | bits[i + b]);
        r.bytes.push_back(byte);
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // Exactly the documented room, on the heap, so any write past it is caught.
    const size_t room = decoded_len(size);
    std::unique_ptr<uint8_t[]> out(new uint8_t[room]);
    const auto got = decode_into(text, out.get());
    const Reference want = reference_decode(text);

    if (want.error) {
        FUZZ_CHECK(!got);
        FUZZ_CHECK(got.error() == *want.error);
    } else {
        FUZZ_CHECK(got);
        FUZZ_CHECK(got.value() == want.bytes.size());
        FUZZ_CHECK(std::vector<uint8_t>(out.get(), out.get() + got.value()) == want.bytes);
        // Strict decoding accepts only the one canonical spelling.
        FUZZ_CHECK(encode(want.bytes) == text);
    }

    // Any bytes survive a round trip, and encode writes exactly its length.
    const std::span<const uint8_t> raw(data, size);
    const std::string encoded = encode(raw);
    FUZZ_CHECK(encoded.size() == encoded_len(size));
    const auto back = decode(encoded);
    FUZZ_CHECK(back);
    FUZZ_CHECK(back.value() == std::vector<uint8_t>(raw.begin(), raw.end()));
    return 0;
}
