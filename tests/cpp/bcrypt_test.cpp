#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "bcrypt/bcrypt.h"
#include "bcrypt/radix64.h"

using namespace quorlix::bcrypt;
namespace radix64 = quorlix::radix64;

namespace {

using Salt = std::array<uint8_t, SALT_BYTES>;

std::span<const uint8_t> bytes_of(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

Salt salt_from_text(std::string_view text) {
    auto r = radix64::decode(text);
    EXPECT_TRUE(r.ok() && r.value().size() == SALT_BYTES) << text;
    Salt s{};
    if (r.ok()) std::copy_n(r.value().begin(), std::min(r.value().size(), s.size()), s.begin());
    return s;
}

Salt counting_salt(uint8_t start) {
    Salt s;
    for (size_t i = 0; i < s.size(); i++) s[i] = uint8_t(start + 29 * i);
    return s;
}

HashParts hashed(std::string_view password, uint32_t cost, const Salt& salt) {
    auto r = _hash_password(bytes_of(password), cost, salt);
    EXPECT_TRUE(r.ok()) << cost;
    return r.ok() ? r.value() : HashParts{};
}

std::string hash_string(std::string_view password, uint32_t cost, const Salt& salt) {
    return hashed(password, cost, salt).format_for_version(Version::V2b);
}

std::string panic_message(auto&& call) {
    try {
        call();
    } catch (const quorlix::Panic& p) {
        return p.message;
    }
    return "(no panic)";
}

const std::string D70 = "0123456789012345678901234567890123456789012345678901234567890123456789";
const std::string P71 = D70 + "a";
const std::string P72 = D70 + "ab";

struct KnownAnswer {
    std::string password;
    std::string hash;  // the setting is its first 29 characters
};

}  // namespace

/////////////////////
/// Known answers ///
/////////////////////
// Recorded once from the C library's crypt(3) with these settings.
const KnownAnswer KNOWN_ANSWERS[] = {
    {"", "$2b$04$abcdefghijklmnopqrstuubyCG3zY1GIXMyxfivm.ClDiInHzxjiq"},
    {"U*U", "$2b$04$abcdefghijklmnopqrstuuCFaEytnzrfaPZJKbS76hh9vqd9r8v2S"},
    {"password", "$2b$04$abcdefghijklmnopqrstuughE8Ev8uGFaUgY2cNEySvxngrb/Jzdm"},
    {" ", "$2b$04$abcdefghijklmnopqrstuu/ied6LYDv4Nek.n8vXq7pbx7mJcRizO"},
    {P71, "$2b$04$abcdefghijklmnopqrstuusYY20iXwjy3BJDTfglBxIzPR2LjAUO6"},
    {P72, "$2b$04$abcdefghijklmnopqrstuuMtJwfagkGaCKZ.IMpPJzYjhgL/xnp2C"},
    {P72 + "c", "$2b$04$abcdefghijklmnopqrstuuMtJwfagkGaCKZ.IMpPJzYjhgL/xnp2C"},
    {std::string(100, 'x'), "$2b$04$abcdefghijklmnopqrstuubzadhGtS2zEF.gu0yd0opP6cVzb.e0i"},
    {"\xff\xff\xa3", "$2b$04$abcdefghijklmnopqrstuuMOaOTHB4gEm.rriBjXNwBNh.Oc4mKGG"},
    {"\xa3", "$2b$04$abcdefghijklmnopqrstuurz1efvzeJjL4mQ813hrZNg3p1.ivOii"},
    {"\xd1\x91", "$2b$04$abcdefghijklmnopqrstuuSqNATdQiNEckAKLsqgsKbAM5.hZoMCq"},
    {"", "$2b$05$./ABCDEFGHIJKLMNOPQRSOUk3lElluFi26/OadwpcTwSYlM7O9Vzm"},
    {"U*U", "$2b$05$./ABCDEFGHIJKLMNOPQRSOe5IDQ0OuZpYV65IJeA5pW6IJjdAEKgC"},
    {P72, "$2b$05$./ABCDEFGHIJKLMNOPQRSOe/4YhOwNHqKyFwnUUZLUEmBAAbfQoxi"},
    {"\xff\xff\xa3", "$2b$05$./ABCDEFGHIJKLMNOPQRSOPpquetoLpBV/4m1dYjomrOBZACZg2k2"},
    {"password", "$2b$06$999999999999999999999utCtaqtaqeEMtw6e.tp5OJfj/ZASwK.m"},
    {P71, "$2b$06$999999999999999999999uxwS9EfF8Ip7EXhA/SEqR3WrPmiqPG3C"},
    {"", "$2b$04$O7rIi1ZOe1tVfwzoJ8Vi0.UyugYM7cPG6HZUeR/.3zBMmgR7cCB1q"},
    {"\xd1\x91", "$2b$04$O7rIi1ZOe1tVfwzoJ8Vi0.sIr71PUzNIOcZVMQK2huZgCnqoKCkUK"},
    {std::string(100, 'x'), "$2b$04$O7rIi1ZOe1tVfwzoJ8Vi0.i9KZe3bc24vaBYgXHvULXOEJI79.amy"},
};

TEST(BcryptKnownAnswers, MatchCrypt3) {
    for (const auto& ka : KNOWN_ANSWERS) {
        const uint32_t cost = uint32_t(std::stoul(ka.hash.substr(4, 2)));
        const Salt salt = salt_from_text(ka.hash.substr(7, 22));
        HashParts parts = hashed(ka.password, cost, salt);
        EXPECT_EQ(parts.cost, cost);
        EXPECT_EQ(parts.salt, ka.hash.substr(7, 22));
        EXPECT_EQ(parts.format_for_version(Version::V2b), ka.hash) << ka.password;
    }
}

// bcrypt itself takes the prepared key: the password and its NUL byte.
TEST(BcryptKnownAnswers, RawOutputUnderTheHashText) {
    const std::string want = "$2b$04$abcdefghijklmnopqrstuuCFaEytnzrfaPZJKbS76hh9vqd9r8v2S";
    const Salt salt = salt_from_text(want.substr(7, 22));
    auto r = bcrypt(4, salt, bytes_of(std::string_view("U*U\0", 4)));
    auto decoded = radix64::decode(want.substr(29));
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(decoded.ok());
    const RawHash& raw = r.value();
    EXPECT_EQ(std::vector<uint8_t>(raw.begin(), raw.end() - 1), decoded.value());
}

//////////////////////
/// Key preparation ///
//////////////////////
// Every key made only of zero bytes yields the same key words, whatever its
// length, and the empty password's key is one zero byte.
TEST(BcryptKeys, EmptyAndAllNulPasswordsAgree) {
    const Salt salt = counting_salt(1);
    const std::string want = hash_string("", 4, salt);
    for (size_t n : {1, 2, 5, 71, 72, 100}) {
        EXPECT_EQ(hash_string(std::string(n, '\0'), 4, salt), want) << n;
    }
    EXPECT_NE(hash_string("\x01", 4, salt), want);
}

// The key of a 71-byte password already ends in the NUL that the 72nd
// byte would be; from 72 bytes on, the key is the first 72 bytes alone.
TEST(BcryptKeys, CutAfter72Bytes) {
    const Salt salt = counting_salt(2);
    EXPECT_EQ(hash_string(P71, 4, salt), hash_string(P71 + '\0', 4, salt));
    EXPECT_EQ(hash_string(P72, 4, salt), hash_string(P72 + "zzz", 4, salt));
    EXPECT_NE(hash_string(P72, 4, salt), hash_string(P71 + '\0', 4, salt));
    EXPECT_NE(hash_string(P71, 4, salt), hash_string(D70 + "b", 4, salt));
}

////////////////////////
/// Costs and errors ///
////////////////////////
TEST(BcryptCost, OutOfRangeIsAnErrorValue) {
    const Salt salt = counting_salt(3);
    for (uint32_t cost : {0u, 3u, 32u, 100u, UINT32_MAX}) {
        auto r = _hash_password(bytes_of("pw"), cost, salt);
        ASSERT_FALSE(r.ok()) << cost;
        EXPECT_EQ(r.error(), (BcryptError{BcryptError::Kind::CostOutOfRange, cost}));
    }
}

TEST(BcryptCost, PreconditionsPanicInOrder) {
    const Salt salt = counting_salt(4);
    const std::string key_msg = "assertion failed: !password.is_empty() && password.len() <= 72";
    const std::string cost_msg = "assertion failed: cost < 32";
    const std::string k73(73, 'k');
    EXPECT_EQ(panic_message([&] { (void)bcrypt(4, salt, {}); }), key_msg);
    EXPECT_EQ(panic_message([&] { (void)bcrypt(4, salt, bytes_of(k73)); }), key_msg);
    EXPECT_EQ(panic_message([&] { (void)bcrypt(32, salt, {}); }), key_msg);
    EXPECT_EQ(panic_message([&] { (void)bcrypt(32, salt, bytes_of("k")); }), cost_msg);
    EXPECT_EQ(panic_message([&] { (void)bcrypt(UINT32_MAX, salt, bytes_of(k73.substr(1))); }),
              cost_msg);
}

/////////////////////
/// Hash strings ///
/////////////////////
TEST(BcryptHashString, VersionsDifferOnlyInTheirLetter) {
    const HashParts parts = hashed("versions", 4, counting_salt(5));
    const std::pair<Version, char> cases[] = {
        {Version::V2a, 'a'}, {Version::V2x, 'x'}, {Version::V2y, 'y'}, {Version::V2b, 'b'}};
    const std::string b = parts.format_for_version(Version::V2b);
    for (auto [v, letter] : cases) {
        std::string s = parts.format_for_version(v);
        ASSERT_EQ(s.size(), 60u);
        EXPECT_EQ(s[2], letter);
        s[2] = 'b';
        EXPECT_EQ(s, b);
        EXPECT_EQ(version_text(v), std::string("2") + letter);
    }
}

TEST(BcryptHashString, CostIsTwoDigits) {
    const HashParts base{0, std::string(22, '.'), std::string(31, '.')};
    const std::pair<uint32_t, const char*> cases[] = {{4, "04"}, {9, "09"}, {10, "10"}, {31, "31"}};
    for (auto [cost, text] : cases) {
        HashParts parts = base;
        parts.cost = cost;
        std::string s = parts.format_for_version(Version::V2y);
        EXPECT_EQ(s, "$2y$" + std::string(text) + "$" + base.salt + base.hash);
    }
}

// The salt text's last symbol carries 2 data bits and the hash text's 4,
// so only a few symbols can end them; the salt text decodes back.
TEST(BcryptHashString, TextsCarryTheBytes) {
    for (uint8_t start : {0, 7, 100, 255}) {
        const Salt salt = counting_salt(start);
        const HashParts parts = hashed("texts", 4, salt);
        ASSERT_EQ(parts.salt.size(), 22u);
        ASSERT_EQ(parts.hash.size(), 31u);
        EXPECT_NE(std::string_view(".Oeu").find(parts.salt.back()), std::string_view::npos);
        EXPECT_NE(std::string_view(".CGKOSWaeimquy26").find(parts.hash.back()),
                  std::string_view::npos);
        auto back = radix64::decode(parts.salt);
        ASSERT_TRUE(back.ok());
        EXPECT_EQ(back.value(), std::vector<uint8_t>(salt.begin(), salt.end()));
    }
}

///////////////////////////
/// Hashes in lockstep ///
///////////////////////////
namespace {

// A batch of `count` random passwords and salts. Every other password has
// one of the lengths where the key is cut or padded differently, at a
// lane that moves from batch to batch; the rest are of any length 0..74.
struct RandomBatch {
    std::vector<std::string> passwords;
    std::vector<Salt> salts;
    std::vector<LaneInput> items;

    RandomBatch(size_t count, std::mt19937& rng) : salts(count) {
        const size_t edges[] = {0, 1, 71, 72, 73};
        for (size_t k = 0; k < count; k++) {
            const size_t len = k % 2 ? rng() % 75 : edges[(count + k) % 5];
            std::string p(len, '\0');
            for (char& c : p) c = char(rng());
            passwords.push_back(p);
            for (uint8_t& b : salts[k]) b = uint8_t(rng());
        }
        for (size_t k = 0; k < count; k++) items.push_back({bytes_of(passwords[k]), salts[k]});
    }
};

}  // namespace

// Each lane against the single hash of its own password: the raw output of
// bcrypt() on the prepared key, and the text of _hash_password. Batches of
// every count up to two full groups and one more, in the widest groups and
// in narrower ones.
TEST(BcryptLanes, EveryLaneIsItsOwnSingleHash) {
    std::mt19937 rng(2024);
    for (size_t count = 1; count <= 2 * MAX_LANES + 1; count++) {
        const uint32_t cost = 4 + uint32_t(count % 3);
        const RandomBatch batch(count, rng);
        for (size_t max_lanes : {MAX_LANES, 1 + count % MAX_LANES}) {
            std::vector<RawHash> out(count);
            ASSERT_TRUE(hash_passwords_with_lanes(batch.items, cost, out, max_lanes).ok());
            for (size_t k = 0; k < count; k++) {
                const std::string& p = batch.passwords[k];
                std::string key = p.substr(0, MAX_KEY_BYTES) + '\0';
                key.resize(std::min(key.size(), MAX_KEY_BYTES));
                const auto want = bcrypt(cost, batch.salts[k], bytes_of(key));
                ASSERT_TRUE(want.ok());
                EXPECT_EQ(out[k], want.value()) << count << " in groups of " << max_lanes
                                                << ", lane " << k << ", length " << p.size();
                EXPECT_EQ(hash_parts(cost, batch.salts[k], out[k]).format_for_version(Version::V2b),
                          hash_string(p, cost, batch.salts[k]));
            }
        }
    }
}

TEST(BcryptLanes, RefusedCostsAndAMismatchedOutput) {
    std::mt19937 rng(7);
    const RandomBatch batch(3, rng);
    std::vector<RawHash> out(3, RawHash{}), none;
    for (uint32_t cost : {0u, 3u, 32u, UINT32_MAX}) {
        auto r = hash_passwords(batch.items, cost, out);
        ASSERT_FALSE(r.ok()) << cost;
        EXPECT_EQ(r.error(), (BcryptError{BcryptError::Kind::CostOutOfRange, cost}));
    }
    EXPECT_TRUE(hash_passwords({}, 4, none).ok());
    EXPECT_EQ(panic_message([&] {
                  (void)hash_passwords(batch.items, 4, {out.data(), 2});
              }),
              "assertion failed: out.len() == items.len() (2 != 3)");
    EXPECT_EQ(out, std::vector<RawHash>(3, RawHash{}));
}
