// Stopping the long computations through their Cancel hook, and panics
// from inside them reaching the caller, through every entry point that runs
// bcrypt's cost loop or bcrypt_pbkdf's key expansions.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bcrypt/bcrypt.h"
#include "pbkdf/bcrypt_pbkdf.h"

using namespace quorlix;

namespace {

std::span<const uint8_t> bytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

const auto PASSWORD = bytes("interrupt me");
const auto SALT = bytes("salt of the earth");
constexpr std::array<uint8_t, bcrypt::SALT_BYTES> BCRYPT_SALT = {1, 2, 3, 4, 5, 6, 7, 8, 9};

// Whether a computation reported its interruption; any other error fails.
template <class T>
bool interrupted(const Result<T, bcrypt::BcryptError>& r) {
    EXPECT_TRUE(r.ok() || r.error().kind == bcrypt::BcryptError::Kind::Interrupted);
    return !r.ok();
}
bool interrupted(const Result<void, pbkdf::Error>& r) {
    EXPECT_TRUE(r.ok() || r.error() == pbkdf::Error::Interrupted);
    return !r.ok();
}

bool bcrypt_pbkdf(size_t len, const Cancel& c) {
    std::vector<uint8_t> out(len);
    return interrupted(pbkdf::bcrypt_pbkdf(PASSWORD, SALT, 2, out, c));
}

// One group of `lanes` blocks, advanced together.
bool with_lanes(size_t lanes, const Cancel& c) {
    std::vector<uint8_t> out(pbkdf::BLOCK_LEN * lanes), memory(out.size());
    return interrupted(pbkdf::bcrypt_pbkdf_with_lanes(PASSWORD, SALT, 2, out, memory, lanes, c));
}

template <size_t... k>
bool finalize_lanes(const Cancel& c, std::index_sequence<k...>) {
    const auto digest = sha512::sha512_digest(PASSWORD);
    std::array hashes{((void)k, pbkdf::Bhash(digest))...};
    for (auto& h : hashes) h.update(SALT);
    uint8_t outs[sizeof...(k)][pbkdf::BLOCK_LEN];
    return interrupted(pbkdf::Bhash::finalize_lanes(hashes, outs, c));
}

// `count` hashes at cost 6 (64 polls a group), in groups of up to max_lanes.
bool hash_passwords(size_t count, const Cancel& c, size_t max_lanes = bcrypt::MAX_LANES,
                    std::vector<bcrypt::RawHash>* out = nullptr) {
    const std::vector<bcrypt::LaneInput> items(count, {PASSWORD, BCRYPT_SALT});
    std::vector<bcrypt::RawHash> own(count);
    if (out == nullptr) out = &own;
    return interrupted(bcrypt::hash_passwords_with_lanes(items, 6, *out, max_lanes, c));
}

struct EntryPoint {
    std::string name;
    std::function<bool(const Cancel&)> interrupted;
};

const EntryPoint ENTRY_POINTS[] = {
    {"bcrypt", [](auto& c) { return interrupted(bcrypt::bcrypt(6, BCRYPT_SALT, PASSWORD, c)); }},
    {"hash_password",
     [](auto& c) { return interrupted(bcrypt::_hash_password(PASSWORD, 6, BCRYPT_SALT, c)); }},
    {"hash_passwords_1", [](auto& c) { return hash_passwords(1, c); }},
    {"hash_passwords_2", [](auto& c) { return hash_passwords(2, c); }},
    {"hash_passwords_widest", [](auto& c) { return hash_passwords(bcrypt::MAX_LANES, c); }},
    {"hash_passwords_two_groups", [](auto& c) { return hash_passwords(bcrypt::MAX_LANES + 1, c); }},
    {"bcrypt_pbkdf_stack_scratch", [](auto& c) { return bcrypt_pbkdf(48, c); }},
    {"bcrypt_pbkdf_heap_scratch", [](auto& c) { return bcrypt_pbkdf(512, c); }},
    {"lanes_1", [](auto& c) { return with_lanes(1, c); }},
    {"lanes_2", [](auto& c) { return with_lanes(2, c); }},
    {"lanes_3", [](auto& c) { return with_lanes(3, c); }},
    {"lanes_4", [](auto& c) { return with_lanes(4, c); }},
    {"finalize_into",
     [](auto& c) {
         pbkdf::Bhash h(sha512::sha512_digest(PASSWORD));
         uint8_t out[pbkdf::BLOCK_LEN];
         return interrupted(std::move(h).finalize_into(out, c));
     }},
    {"finalize_lanes_1", [](auto& c) { return finalize_lanes(c, std::make_index_sequence<1>()); }},
    {"finalize_lanes_2", [](auto& c) { return finalize_lanes(c, std::make_index_sequence<2>()); }},
    {"finalize_lanes_3", [](auto& c) { return finalize_lanes(c, std::make_index_sequence<3>()); }},
    {"finalize_lanes_4", [](auto& c) { return finalize_lanes(c, std::make_index_sequence<4>()); }},
};

// Answers "stop" from poll number `stop_at` on, or panics there.
struct Hook {
    int stop_at;
    bool panics = false;
    int polls = 0;

    Cancel cancel() { return {&Hook::poll, this}; }
    static bool poll(void* self) {
        auto& h = *static_cast<Hook*>(self);
        if (++h.polls == h.stop_at && h.panics) panic("poll panicked");
        return h.polls >= h.stop_at;
    }
};

class Interrupt : public ::testing::TestWithParam<EntryPoint> {};

TEST_P(Interrupt, StopsAtThePollThatAsksAndPollsNoMore) {
    for (int at : {1, 5}) {
        Hook hook{at};
        EXPECT_TRUE(GetParam().interrupted(hook.cancel())) << "stop at poll " << at;
        EXPECT_EQ(hook.polls, at);
    }
}

TEST_P(Interrupt, PanicInThePollReachesTheCaller) {
    Hook hook{3, true};
    EXPECT_THROW(GetParam().interrupted(hook.cancel()), Panic);
    EXPECT_EQ(hook.polls, 3);
}

INSTANTIATE_TEST_SUITE_P(EntryPoints, Interrupt, ::testing::ValuesIn(ENTRY_POINTS),
                         [](const auto& info) { return info.param.name; });

TEST(InterruptedKdf, LeavesTheOutputAndZeroesTheScratch) {
    for (size_t lanes = 1; lanes <= pbkdf::MAX_LANES; lanes++) {
        Hook hook{64 + 2};  // in the second round, once the first has filled the blocks
        std::vector<uint8_t> out(160, 0x5C), memory(160, 0xA5);
        auto r =
            pbkdf::bcrypt_pbkdf_with_lanes(PASSWORD, SALT, 2, out, memory, lanes, hook.cancel());
        EXPECT_TRUE(interrupted(r)) << lanes;
        EXPECT_EQ(out, std::vector<uint8_t>(160, 0x5C)) << lanes;
        EXPECT_EQ(memory, std::vector<uint8_t>(160, 0)) << lanes;
    }
}

// A megabyte of password or salt takes a millisecond to digest: the polls
// go on meanwhile, for each of the output's two blocks in the salt's case.
TEST(InterruptedKdf, PollsWhileDigestingLongInputs) {
    const std::vector<uint8_t> big(1 << 20, 7);
    auto polls = [](std::span<const uint8_t> password, std::span<const uint8_t> salt) {
        Hook hook{1 << 30};
        uint8_t out[64];
        EXPECT_FALSE(interrupted(pbkdf::bcrypt_pbkdf(password, salt, 1, out, hook.cancel())));
        return hook.polls;
    };
    const int plain = polls(PASSWORD, SALT);
    EXPECT_GE(polls(big, SALT), plain + 3);
    EXPECT_GE(polls(PASSWORD, big), plain + 6);
}

// Stopped in its second group, the batch leaves none of the first group's
// hashes behind.
TEST(InterruptedBatch, ZeroesTheHashes) {
    Hook hook{64 + 2};
    std::vector<bcrypt::RawHash> out(7);
    for (auto& h : out) h.fill(0x5C);
    EXPECT_TRUE(hash_passwords(7, hook.cancel(), 4, &out));
    EXPECT_EQ(out, std::vector<bcrypt::RawHash>(7, bcrypt::RawHash{}));
}

}  // namespace
