#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "blowfish/blowfish.h"
#include "blowfish/tables.h"
#include "common.h"

using namespace quorlix::blowfish;
using quorlix::load32_be;

namespace {

std::vector<uint8_t> from_hex(std::string_view hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(uint8_t(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

Block block_of(std::string_view hex) {
    auto b = from_hex(hex);
    return {load32_be(b.data()), load32_be(b.data() + 4)};
}

bool same_state(const Blowfish& a, const Blowfish& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

Blowfish keyed(std::span<const uint8_t> key, int times = 1) {
    Blowfish st = init_state();
    for (int i = 0; i < times; i++) bc_expand_key(st, key);
    return st;
}

Blowfish salted(std::span<const uint8_t> salt, std::span<const uint8_t> key) {
    Blowfish st = init_state();
    salted_expand_key(st, salt, key);
    return st;
}

// bytes repeated from the start until the result is n long.
std::vector<uint8_t> cycled(std::span<const uint8_t> bytes, size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; i++) out[i] = bytes[i % bytes.size()];
    return out;
}

std::vector<uint8_t> counting(size_t n, uint8_t start = 1) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; i++) out[i] = uint8_t(start + 37 * i);
    return out;
}

struct EcbVector {
    const char* key;
    const char* plain;
    const char* cipher;
};

void expect_ecb(const EcbVector& v) {
    Blowfish st = keyed(from_hex(v.key));
    Block got = encrypt(st, block_of(v.plain));
    Block want = block_of(v.cipher);
    EXPECT_EQ(got.l, want.l) << v.key << " " << v.plain;
    EXPECT_EQ(got.r, want.r) << v.key << " " << v.plain;
}

}  // namespace

//////////////////////
/// Initial tables ///
//////////////////////
TEST(BlowfishTables, TellingDigitsOfPi) {
    const Blowfish st = init_state();
    const std::pair<uint32_t, uint32_t> cases[] = {
        {st.p[0], 0x243F6A88},    {st.p[1], 0x85A308D3},      {st.p[17], 0x8979FB1B},
        {st.s[0][0], 0xD1310BA6}, {st.s[1][0], 0x4B7A70E9},   {st.s[2][0], 0xE93D5A68},
        {st.s[3][0], 0x3A39CE37}, {st.s[3][255], 0x3AC372E6},
    };
    for (auto [got, want] : cases) EXPECT_EQ(got, want);
}

TEST(BlowfishTables, GeneratorWritesTheCommittedHeader) {
    // This file lives in tests/cpp; the generator beside the header.
    std::string dir = __FILE__;
    dir = dir.substr(0, dir.rfind('/')) + "/../../crypto/blowfish/";
    if (std::system("python3 -c pass >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
    std::string cmd = "python3 '" + dir + "gen_tables.py' --check '" + dir + "tables.h'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

////////////////////
/// Test vectors ///
////////////////////
// Eric Young's published Blowfish ECB vectors: key, plaintext, ciphertext.
const EcbVector ECB_VECTORS[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

TEST(BlowfishVectors, PublishedEcb) {
    for (const auto& v : ECB_VECTORS) expect_ecb(v);
}

// The same set's variable-length keys: the first n bytes of
// F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677, plaintext FEDCBA9876543210.
const char* const VARIABLE_KEY_CIPHERS[] = {
    "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05",
    "B39E44481BDB1E6E", "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82",
    "15750E7A4F4EC577", "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
    "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F", "93142887EE3BE15C",
    "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
    "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080",
};

TEST(BlowfishVectors, PublishedVariableKeyLength) {
    const std::string key = "F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677";
    for (size_t n = 1; n <= 24; n++) {
        std::string k = key.substr(0, 2 * n);
        expect_ecb({k.c_str(), "FEDCBA9876543210", VARIABLE_KEY_CIPHERS[n - 1]});
    }
}

// The half-round (the asm on x86-64, or the plain C++ round) is addressed
// in several ways; every form must agree with the definition,
// dst ^ P[I] ^ F(x), on every byte position, including the extremes. The
// second of two states side by side is reached both from its own S1 and
// from the first's with a displacement, as lanes in lockstep reach theirs.
template <size_t I, long S1, bool HighByte>
void expect_half_round(const States<2>& st, const uint32_t* base, const std::vector<uint32_t>& xs) {
    const Blowfish& b = st[1];
    for (uint32_t x : xs) {
        const uint32_t f =
            ((b.s[0][x >> 24] + b.s[1][(x >> 16) & 0xFF]) ^ b.s[2][(x >> 8) & 0xFF]) +
            b.s[3][x & 0xFF];
        const uint32_t dst = ~x * 0x9E3779B9u;
        const HalfRound got = half_round<I, S1, HighByte>(b, base, dst, x);
        ASSERT_EQ(got.f, f) << std::hex << x << " S1 at " << S1 << (HighByte ? " high byte" : "");
        ASSERT_EQ(got.x, dst ^ b.p[I] ^ f) << std::hex << x << " P" << I;
    }
}

TEST(BlowfishCipher, HalfRoundMatchesDefinitionInEveryForm) {
    const States<2> st = {keyed(counting(72)), keyed(counting(72, 5))};
    std::vector<uint32_t> xs = {0,          0xFFFFFFFF, 0xFF000000, 0x00FF0000,
                                0x0000FF00, 0x000000FF, 0x01020304, 0x80808080};
    std::mt19937 rng(11);
    for (int i = 0; i < 5000; i++) xs.push_back(uint32_t(rng()));
    constexpr long next = sizeof(Blowfish);
    expect_half_round<1, 0, true>(st, st[1].s[1], xs);
    expect_half_round<16, 0, false>(st, st[1].s[1], xs);
    expect_half_round<7, next, true>(st, st[0].s[1], xs);
    expect_half_round<17, next, false>(st, st[0].s[1], xs);
}

// A build that leaves the asm out must test the plain round, in the
// library and in every file that compiles the inline rounds alike.
TEST(BlowfishCipher, RoundIsTheOneTheBuildAskedFor) {
    EXPECT_EQ(asm_round(), ASM_ROUND);
#if defined(QUORLIX_TEST_WANT_PLAIN_ROUND)
    EXPECT_FALSE(asm_round());
#elif defined(QUORLIX_TEST_WANT_ASM_ROUND)
    EXPECT_TRUE(asm_round());
#endif
}

/////////////////////
/// Key schedules ///
/////////////////////
// The 18 key words take exactly 72 bytes, so a key read through the wrapping
// cursor must act like the same key written out cycled to 72 bytes. This
// catches a cursor reset per word, a wrap tested per word instead of per
// byte, and a cursor kept from one call to the next.
TEST(BlowfishKeySchedule, KeyCursorWrapsMidWord) {
    const auto key = counting(72);
    for (size_t n : {1, 2, 3, 4, 5, 7, 8, 16, 17, 56, 64, 71, 72}) {
        std::span<const uint8_t> k(key.data(), n);
        auto full = cycled(k, 72);
        EXPECT_TRUE(same_state(keyed(k, 2), keyed(full, 2))) << n;
        EXPECT_TRUE(same_state(salted(key, k), salted(key, full))) << n;
    }
}

TEST(BlowfishKeySchedule, KeyBytesAfter72AreNeverRead) {
    auto key = counting(200);
    const Blowfish want = keyed({key.data(), 72});
    for (size_t n : {73, 80, 200}) {
        EXPECT_TRUE(same_state(keyed({key.data(), n}), want)) << n;
        EXPECT_TRUE(same_state(salted(key, {key.data(), n}), salted(key, {key.data(), 72}))) << n;
    }
    // ...while byte 71 is still used.
    auto changed = key;
    changed[71] ^= 1;
    EXPECT_FALSE(same_state(keyed({changed.data(), 72}), want));
}

// XORing zero words into the blocks changes nothing, whatever the length.
TEST(BlowfishKeySchedule, ZeroSaltIsPlainExpansion) {
    const auto key = counting(13);
    const Blowfish want = keyed(key);
    for (size_t n : {1, 3, 4, 5, 16, 64, 100}) {
        std::vector<uint8_t> salt(n, 0);
        EXPECT_TRUE(same_state(salted(salt, key), want)) << n;
    }
}

// 521 blocks take 8 bytes of salt each. One cursor runs through them all,
// so a short salt must act like itself cycled to 4168 bytes.
TEST(BlowfishKeySchedule, SaltCursorRunsThroughAllBlocks) {
    const auto key = counting(16, 9);
    const auto salt = counting(64, 200);
    for (size_t n : {1, 3, 5, 8, 15, 16, 17, 64}) {
        std::span<const uint8_t> s(salt.data(), n);
        EXPECT_TRUE(same_state(salted(s, key), salted(cycled(s, 521 * 8), key))) << n;
    }
}

TEST(BlowfishKeySchedule, SaltAndKeyHaveTheirOwnRoles) {
    const auto a = counting(16, 3);
    const auto b = counting(16, 5);
    EXPECT_FALSE(same_state(salted(a, b), salted(b, a)));
    EXPECT_FALSE(same_state(salted(a, b), keyed(b)));
}

TEST(BlowfishKeySchedule, EmptyKeyOrSaltPanics) {
    const uint8_t one[1] = {7};
    const std::span<const uint8_t> none;
    Blowfish st = init_state();
    EXPECT_THROW(bc_expand_key(st, none), quorlix::Panic);
    EXPECT_THROW(salted_expand_key(st, none, one), quorlix::Panic);
    EXPECT_THROW(salted_expand_key(st, one, none), quorlix::Panic);
    // The check comes before any change to the state.
    EXPECT_TRUE(same_state(st, init_state()));
}

///////////////////////////////////
/// Several states in lockstep ///
///////////////////////////////////
// Each lane must end exactly as the one-state step leaves its own state, so
// every lane gets a different key, salt and starting state: a lane reading
// another's S-boxes, P-array, key or salt cursor shows up as a mismatch.
template <size_t N>
void expect_lanes_match_single_states() {
    // Lane k's key, salt and starting key are slices of its own.
    const size_t key_lens[] = {1, 5, 64, 100, 72, 3};
    const size_t salt_lens[] = {3, 16, 64, 7, 16, 1};
    const auto material = counting(200);
    States<N> lanes, want;
    Keys<N> keys, salts;
    for (size_t k = 0; k < N; k++) {
        keys[k] = std::span(material).subspan(k, key_lens[k]);
        salts[k] = std::span(material).subspan(100 + k, salt_lens[k]);
        // A start other than the initial tables, different for every lane.
        want[k] = keyed(std::span(material).subspan(50 + k, k + 2));
    }
    lanes = want;

    salted_expand_key(lanes, salts, keys);
    for (size_t k = 0; k < N; k++) salted_expand_key(want[k], salts[k], keys[k]);
    for (size_t k = 0; k < N; k++) {
        EXPECT_TRUE(same_state(lanes[k], want[k])) << N << " salted " << k;
    }

    // Twice, so the second pass starts from states the lanes wrote themselves.
    for (int pass = 0; pass < 2; pass++) {
        bc_expand_key(lanes, keys);
        for (size_t k = 0; k < N; k++) bc_expand_key(want[k], keys[k]);
        for (size_t k = 0; k < N; k++) {
            EXPECT_TRUE(same_state(lanes[k], want[k])) << N << " pass " << pass << " lane " << k;
        }
    }
}

TEST(BlowfishLanes, EachLaneMatchesItsOwnSingleState) {
    expect_lanes_match_single_states<2>();
    expect_lanes_match_single_states<3>();
    expect_lanes_match_single_states<4>();
    expect_lanes_match_single_states<5>();
    expect_lanes_match_single_states<6>();
}

// Lanes holding the same key and state must stay equal to each other and to
// published Blowfish: keyed once from the initial tables, they encrypt like
// the published cipher.
TEST(BlowfishLanes, FreshLanesEncryptLikePublishedBlowfish) {
    const auto key = from_hex("0123456789ABCDEF");
    States<3> lanes;
    for (auto& st : lanes) st = init_state();
    bc_expand_key(lanes, Keys<3>{key, key, key});
    for (const auto& st : lanes) {
        Block got = encrypt(st, block_of("1111111111111111"));
        EXPECT_EQ(got.l, block_of("61F9C3802281B096").l);
        EXPECT_EQ(got.r, block_of("61F9C3802281B096").r);
    }
}

TEST(BlowfishLanes, AnEmptyKeyOrSaltInAnyLanePanicsBeforeAnyChange) {
    const uint8_t one[1] = {7};
    const std::span<const uint8_t> none;
    for (size_t bad = 0; bad < 4; bad++) {
        States<4> lanes;
        for (auto& st : lanes) st = init_state();
        Keys<4> good{one, one, one, one}, with_empty = good;
        with_empty[bad] = none;
        EXPECT_THROW(bc_expand_key(lanes, with_empty), quorlix::Panic) << bad;
        EXPECT_THROW(salted_expand_key(lanes, with_empty, good), quorlix::Panic) << bad;
        EXPECT_THROW(salted_expand_key(lanes, good, with_empty), quorlix::Panic) << bad;
        for (const auto& st : lanes) EXPECT_TRUE(same_state(st, init_state())) << bad;
    }
}
