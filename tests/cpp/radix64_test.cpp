#include <gtest/gtest.h>

#include <random>

#include "bcrypt/radix64.h"

using namespace quorlix::radix64;
using Kind = Radix64Error::Kind;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> v) {
    std::vector<uint8_t> out;
    for (int b : v) out.push_back(uint8_t(b));
    return out;
}

Radix64Error decode_error(std::string_view text) {
    auto r = decode(text);
    EXPECT_FALSE(r.ok()) << "decoded without error: " << text;
    return r.ok() ? Radix64Error{Kind::BadPadding, 9999, 0} : r.error();
}

}  // namespace

TEST(Radix64, EncodeLengths) {
    std::vector<uint8_t> in(23, 0xA5);
    const std::pair<size_t, size_t> cases[] = {{0, 0}, {1, 2}, {2, 3}, {3, 4}, {16, 22}, {23, 31}};
    for (auto [n, len] : cases) {
        EXPECT_EQ(encode({in.data(), n}).size(), len) << n;
        EXPECT_EQ(encoded_len(n), len) << n;
    }
}

TEST(Radix64, KnownEncodings) {
    EXPECT_EQ(encode(bytes({0xFF})), "9u");
    EXPECT_EQ(encode(bytes({0x00, 0x00, 0x00})), "....");
    EXPECT_EQ(encode(bytes({0xFF, 0xFF, 0xFF})), "9999");
    // Values 0..63 in order come back as the alphabet itself.
    std::vector<uint8_t> seq;
    for (int i = 0; i < 64; i += 4) {
        uint32_t n = (i << 18) | ((i + 1) << 12) | ((i + 2) << 6) | (i + 3);
        seq.insert(seq.end(), {uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    }
    EXPECT_EQ(encode(seq), ALPHABET);
}

TEST(Radix64, RoundTripsEveryLength) {
    std::mt19937 rng(7);
    for (size_t n = 0; n < 100; n++) {
        std::vector<uint8_t> in(n);
        for (auto& b : in) b = uint8_t(rng());
        auto text = encode(in);
        auto back = decode(text);
        ASSERT_TRUE(back.ok()) << n;
        EXPECT_EQ(back.value(), in) << n;
    }
}

TEST(Radix64, EmptyDecodesToNothing) {
    auto r = decode("");
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r.value().empty());
}

TEST(Radix64, LastSymbolOfSalt) {
    const std::string body = "abcdefghijklmnopqrstu";  // 21 symbols
    for (char c : ALPHABET) {
        auto r = decode(body + c);
        bool clean = c == '.' || c == 'O' || c == 'e' || c == 'u';
        ASSERT_EQ(r.ok(), clean) << c;
        if (clean) {
            EXPECT_EQ(r.value().size(), 16u);
        } else {
            EXPECT_EQ(r.error(), (Radix64Error{Kind::BadLastSymbol, 21, uint8_t(c)}));
        }
    }
}

TEST(Radix64, LastSymbolOfThreeSymbolGroup) {
    const std::string body = std::string(22, 'A');  // 23 symbols: 5 groups + 3
    const std::string_view clean = ".CGKOSWaeimquy26";
    for (char c : ALPHABET) {
        auto r = decode(body + c);
        bool ok = clean.find(c) != std::string_view::npos;
        ASSERT_EQ(r.ok(), ok) << c;
        if (ok) {
            EXPECT_EQ(r.value().size(), 17u);
        } else {
            EXPECT_EQ(r.error(), (Radix64Error{Kind::BadLastSymbol, 22, uint8_t(c)}));
        }
    }
}

struct ErrorCase {
    std::string text;
    Radix64Error want;
};

TEST(Radix64, ErrorKindsAndOffsets) {
    const ErrorCase cases[] = {
        {std::string(21, 'A'), {Kind::BadLength, 21, 0}},
        {"AAAAA", {Kind::BadLength, 5, 0}},
        {"A", {Kind::BadLength, 1, 0}},
        {"AA=", {Kind::BadPadding, 0, 0}},
        {"AA==", {Kind::BadPadding, 0, 0}},
        {"AAA=", {Kind::BadPadding, 0, 0}},
        {"AAAAAA==", {Kind::BadPadding, 0, 0}},
        {"A=AAAAAA", {Kind::BadSymbol, 1, '='}},
        {"AAAA=A", {Kind::BadSymbol, 4, '='}},
        {"AAAAA=", {Kind::BadSymbol, 5, '='}},
        {"AAAAA==", {Kind::BadSymbol, 5, '='}},
        {"AA=A", {Kind::BadSymbol, 2, '='}},  // padding must run to the end
        {"AA=x", {Kind::BadSymbol, 2, '='}},
        {"AAAA=", {Kind::BadSymbol, 4, '='}},
        {"AA+A", {Kind::BadSymbol, 2, '+'}},
        {"AAAA-A", {Kind::BadSymbol, 4, '-'}},
        {"AAA\x80", {Kind::BadSymbol, 3, 0x80}},
        {"AAAAAA\xff", {Kind::BadSymbol, 6, 0xff}},
        // With a one-symbol tail the last byte is checked before the body.
        {"A!AA!", {Kind::BadSymbol, 4, '!'}},
        {"AA!AB", {Kind::BadSymbol, 2, '!'}},
    };
    for (const auto& c : cases) EXPECT_EQ(decode_error(c.text), c.want) << c.text;
}

TEST(Radix64, DecodeIntoWritesOnlyDecodedBytes) {
    uint8_t out[20];
    std::fill(std::begin(out), std::end(out), 0xEE);
    auto r = decode_into("9u", out);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), 1u);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0xEE);
}
