#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "pbkdf/bcrypt_pbkdf.h"

using namespace quorlix::pbkdf;

namespace {

std::span<const uint8_t> bytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

const auto PW = bytes("password");
const auto SALT = bytes("salt");

std::string hex(std::span<const uint8_t> b) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t x : b) {
        out += digits[x >> 4];
        out += digits[x & 15];
    }
    return out;
}

std::vector<uint8_t> derive(size_t n, uint32_t rounds = 2, std::span<const uint8_t> pw = PW,
                            std::span<const uint8_t> salt = SALT) {
    std::vector<uint8_t> out(n);
    EXPECT_TRUE(bcrypt_pbkdf(pw, salt, rounds, out).ok());
    return out;
}

// The PBKDF2 blocks T1, T2, ... as left in scratch memory of `blocks` chunks.
std::vector<uint8_t> blocks_in_memory(size_t blocks, uint32_t rounds = 2) {
    std::vector<uint8_t> out(1), memory(32 * blocks, 0xA5);
    EXPECT_TRUE(bcrypt_pbkdf_with_memory(PW, SALT, rounds, out, memory).ok());
    return memory;
}

}  // namespace

TEST(BcryptPbkdf, KnownAnswer) {
    EXPECT_EQ(hex(derive(32, 4)),
              "5bbf0cc293587f1c3635555c27796598d47e579071bf427e9d8fbe842aba34d9");
}

struct ErrorCase {
    const char* name;
    std::string_view password, salt;
    uint32_t rounds;
    size_t out_len, mem_len;
    Error want;
};

TEST(BcryptPbkdf, ValidationOrder) {
    const ErrorCase cases[] = {
        {"empty password before rounds", "", "salt", 0, 0, 0, Error::InvalidParamLen},
        {"empty salt", "pw", "", 1, 32, 32, Error::InvalidParamLen},
        {"rounds before length", "pw", "salt", 0, 0, 0, Error::InvalidRounds},
        {"zero length", "pw", "salt", 1, 0, 0, Error::InvalidOutputLen},
        {"1025 bytes", "pw", "salt", 1, 1025, 2048, Error::InvalidOutputLen},
        {"memory for 1", "pw", "salt", 1, 1, 31, Error::InvalidMemoryLen},
        {"memory for 32", "pw", "salt", 1, 32, 31, Error::InvalidMemoryLen},
        {"memory for 33", "pw", "salt", 1, 33, 63, Error::InvalidMemoryLen},
        {"memory for 1024", "pw", "salt", 1, 1024, 1023, Error::InvalidMemoryLen},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> out(c.out_len, 0x11), memory(c.mem_len, 0x22);
        auto r = bcrypt_pbkdf_with_memory(bytes(c.password), bytes(c.salt), c.rounds, out, memory);
        ASSERT_FALSE(r.ok()) << c.name;
        EXPECT_EQ(r.error(), c.want) << c.name;
        // Nothing is written on failure.
        EXPECT_EQ(out, std::vector<uint8_t>(c.out_len, 0x11)) << c.name;
        EXPECT_EQ(memory, std::vector<uint8_t>(c.mem_len, 0x22)) << c.name;
    }
    std::vector<uint8_t> big(2048);
    EXPECT_EQ(bcrypt_pbkdf(PW, SALT, 1, big).error(), Error::InvalidOutputLen);
    EXPECT_EQ(error_name(Error::InvalidMemoryLen), "InvalidMemoryLen");
}

TEST(BcryptPbkdf, ExactMemoryIsEnough) {
    const std::pair<size_t, size_t> cases[] = {{1, 32}, {32, 32}, {33, 64}, {1024, 1024}};
    for (auto [n, mem] : cases) {
        std::vector<uint8_t> out(n), memory(mem);
        EXPECT_TRUE(bcrypt_pbkdf_with_memory(PW, SALT, 1, out, memory).ok()) << n;
    }
}

TEST(BcryptPbkdf, ShortOutputsAreThePrefixOfTheFirstBlock) {
    const auto t = blocks_in_memory(1);
    for (size_t n : {1, 7, 31, 32}) {
        EXPECT_EQ(derive(n), std::vector<uint8_t>(t.begin(), t.begin() + long(n))) << n;
    }
}

TEST(BcryptPbkdf, SpreadInterleavesTheBlocks) {
    // Extra scratch memory holds the further blocks T2, T3, ...
    const auto t = blocks_in_memory(32);
    auto block = [&](size_t j, size_t b) { return t[(j - 1) * 32 + b]; };

    const auto out33 = derive(33);
    std::vector<uint8_t> want33;
    for (size_t b = 0; b < 16; b++) want33.insert(want33.end(), {block(1, b), block(2, b)});
    want33.push_back(block(1, 16));
    EXPECT_EQ(out33, want33);

    const auto out1024 = derive(1024);
    for (size_t i = 0; i < 1024; i++) ASSERT_EQ(out1024[i], block(i % 32 + 1, i / 32)) << i;
}

TEST(BcryptPbkdf, StackAndHeapScratchAgree) {
    // 256 bytes use the stack, 257 the heap; both read blocks T1..T8 alike.
    const auto a = derive(256), b = derive(257);
    for (size_t j = 0; j < 8; j++) {
        for (size_t byte = 0; byte * 9 + j < 257; byte++) {
            ASSERT_EQ(a[byte * 8 + j], b[byte * 9 + j]) << j << " " << byte;
        }
    }
}

TEST(BcryptPbkdf, ScratchContentsDoNotMatter) {
    std::vector<uint8_t> a(48), b(48), ma(64, 0x00), mb(64);
    std::mt19937 rng(3);
    for (auto& x : mb) x = uint8_t(rng());
    ASSERT_TRUE(bcrypt_pbkdf_with_memory(PW, SALT, 3, a, ma).ok());
    ASSERT_TRUE(bcrypt_pbkdf_with_memory(PW, SALT, 3, b, mb).ok());
    EXPECT_EQ(a, b);
    EXPECT_EQ(ma, mb);
}

TEST(BcryptPbkdf, RoundsChainTheOutputs) {
    // With one round a block is U1 alone; more rounds XOR in further outputs.
    const auto one = derive(32, 1), two = derive(32, 2), three = derive(32, 3);
    EXPECT_NE(one, two);
    EXPECT_NE(two, three);
    // U2 = two ^ one must equal Bhash(U1), and U3 = three ^ two = Bhash(U2).
    const auto digest = quorlix::sha512::sha512_digest(PW);
    std::vector<uint8_t> u1 = one, u2(32), u3(32);
    for (size_t i = 0; i < 32; i++) u2[i] = two[i] ^ one[i];
    uint8_t got[32];
    Bhash h(digest);
    h.update(u1);
    ASSERT_TRUE(std::move(h).finalize_into(got).ok());
    EXPECT_EQ(std::vector<uint8_t>(got, got + 32), u2);
    for (size_t i = 0; i < 32; i++) u3[i] = three[i] ^ two[i];
    Bhash h2(digest);
    h2.update(u2);
    ASSERT_TRUE(std::move(h2).finalize_into(got).ok());
    EXPECT_EQ(std::vector<uint8_t>(got, got + 32), u3);
}

TEST(BcryptPbkdf, WholePasswordIsDigested) {
    std::string pw(200, 'p');
    const auto base = derive(16, 1, bytes(pw));
    for (size_t at : {72, 73, 128, 129, 199}) {
        std::string other = pw;
        other[at] = 'q';
        EXPECT_NE(derive(16, 1, bytes(other)), base) << at;
    }
}

// Blocks advanced together must come out as they do one after another, for
// every group size and every way a key length splits into groups: whole
// groups, a smaller group at the end (5 = 3 + 2, 31 = 4 * 7 + 3), and
// lengths that leave a partial block. Two rounds, so each lane's chain of
// outputs is fed back at least once.
TEST(BcryptPbkdf, GroupedBlocksMatchOneAfterAnother) {
    struct Case {
        size_t out_len, mem_len;
    };
    // The last case has seven chunks, the last one 5 bytes long.
    const Case cases[] = {
        {32, 32},   {20, 32},   {48, 64},   {64, 64},     {96, 96},         {128, 128},
        {160, 160}, {150, 160}, {992, 992}, {1024, 1024}, {33, 6 * 32 + 5},
    };
    const auto pw = bytes("grouped password");
    const auto salt = bytes("NaCl and more");
    for (const auto& c : cases) {
        std::vector<uint8_t> want(c.out_len), want_mem(c.mem_len);
        ASSERT_TRUE(bcrypt_pbkdf_with_lanes(pw, salt, 2, want, want_mem, 1).ok());
        for (size_t lanes = 2; lanes <= MAX_LANES; lanes++) {
            std::vector<uint8_t> out(c.out_len), memory(c.mem_len, 0x5C);
            ASSERT_TRUE(bcrypt_pbkdf_with_lanes(pw, salt, 2, out, memory, lanes).ok());
            EXPECT_EQ(hex(out), hex(want)) << c.out_len << " bytes, " << lanes << " lanes";
            EXPECT_EQ(memory, want_mem) << c.out_len << " bytes, " << lanes << " lanes";
        }
    }
    // The entry points use the grouping too.
    std::vector<uint8_t> want(160), memory(160);
    ASSERT_TRUE(bcrypt_pbkdf_with_lanes(PW, SALT, 2, want, memory, 1).ok());
    EXPECT_EQ(derive(160), want);
}

TEST(BcryptPbkdf, LaneCountIsClampedToWhatIsBuilt) {
    std::vector<uint8_t> want(160), out(160), memory(160);
    ASSERT_TRUE(bcrypt_pbkdf_with_lanes(PW, SALT, 1, want, memory, 1).ok());
    for (size_t lanes : {size_t(0), MAX_LANES + 1, size_t(1000)}) {
        ASSERT_TRUE(bcrypt_pbkdf_with_lanes(PW, SALT, 1, out, memory, lanes).ok()) << lanes;
        EXPECT_EQ(out, want) << lanes;
    }
}
