// Stopping the long computations through their Cancel hook, and panics from
// inside them reaching the caller, through every entry point that runs the
// cost loop of bcrypt or the key expansions of bcrypt_pbkdf.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bcrypt/bcrypt.h"
#include "pbkdf/bcrypt_pbkdf.h"

using namespace quorlix;

namespace {

using Output = std::optional<std::vector<uint8_t>>;  // nullopt: interrupted

std::span<const uint8_t> bytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

const auto PASSWORD = bytes("interrupt me");
const auto SALT = bytes("salt of the earth");
constexpr std::array<uint8_t, bcrypt::SALT_BYTES> BCRYPT_SALT = {1, 2,  3,  4,  5,  6,  7,  8,
                                                                 9, 10, 11, 12, 13, 14, 15, 16};

template <class T, class E>
Output outcome(const Result<T, E>& r, bool interrupted, std::vector<uint8_t> out) {
    if (r.ok()) return out;
    EXPECT_TRUE(interrupted) << "an error other than the interruption";
    return std::nullopt;
}

Output run_bcrypt(const Cancel& c) {
    const auto key = bytes(std::string_view("interrupt me\0", 13));
    auto r = bcrypt::bcrypt(6, BCRYPT_SALT, key, c);
    if (!r) return outcome(r, r.error().kind == bcrypt::BcryptError::Kind::Interrupted, {});
    return std::vector<uint8_t>(r.value().begin(), r.value().end());
}

Output run_hash_password(const Cancel& c) {
    auto r = bcrypt::_hash_password(PASSWORD, 6, BCRYPT_SALT, c);
    if (!r) return outcome(r, r.error().kind == bcrypt::BcryptError::Kind::Interrupted, {});
    const std::string text = r.value().format_for_version(bcrypt::Version::V2b);
    return std::vector<uint8_t>(text.begin(), text.end());
}

Output run_pbkdf(size_t len, const Cancel& c) {
    std::vector<uint8_t> out(len);
    auto r = pbkdf::bcrypt_pbkdf(PASSWORD, SALT, 2, out, c);
    return outcome(r, !r && r.error() == pbkdf::Error::Interrupted, out);
}

// One group of `lanes` blocks, advanced together.
Output run_lanes(size_t lanes, const Cancel& c) {
    std::vector<uint8_t> out(pbkdf::BLOCK_LEN * lanes), memory(out.size());
    auto r = pbkdf::bcrypt_pbkdf_with_lanes(PASSWORD, SALT, 2, out, memory, lanes, c);
    return outcome(r, !r && r.error() == pbkdf::Error::Interrupted, out);
}

template <size_t... k>
auto bhashes(std::index_sequence<k...>) {
    const auto digest = sha512::sha512_digest(PASSWORD);
    return std::array{((void)k, pbkdf::Bhash(digest))...};
}

template <size_t N>
Output run_finalize_lanes(const Cancel& c) {
    auto hashes = bhashes(std::make_index_sequence<N>{});
    for (size_t k = 0; k < N; k++) {
        hashes[k].update(SALT);
        hashes[k].update(std::array<uint8_t, 1>{uint8_t(k)});
    }
    uint8_t outs[N][pbkdf::BLOCK_LEN] = {};
    auto r = pbkdf::Bhash::finalize_lanes(hashes, outs, c);
    return outcome(r, !r && r.error() == pbkdf::Error::Interrupted,
                   std::vector<uint8_t>(&outs[0][0], &outs[0][0] + sizeof outs));
}

Output run_finalize_into(const Cancel& c) {
    pbkdf::Bhash h(sha512::sha512_digest(PASSWORD));
    h.update(SALT);
    std::vector<uint8_t> out(pbkdf::BLOCK_LEN);
    auto r = std::move(h).finalize_into(std::span<uint8_t, pbkdf::BLOCK_LEN>(out), c);
    return outcome(r, !r && r.error() == pbkdf::Error::Interrupted, out);
}

struct EntryPoint {
    std::string name;
    std::function<Output(const Cancel&)> run;
};

const EntryPoint ENTRY_POINTS[] = {
    {"bcrypt", run_bcrypt},
    {"hash_password", run_hash_password},
    {"bcrypt_pbkdf_stack_scratch", [](const Cancel& c) { return run_pbkdf(48, c); }},
    {"bcrypt_pbkdf_heap_scratch", [](const Cancel& c) { return run_pbkdf(512, c); }},
    {"lanes_1", [](const Cancel& c) { return run_lanes(1, c); }},
    {"lanes_2", [](const Cancel& c) { return run_lanes(2, c); }},
    {"lanes_3", [](const Cancel& c) { return run_lanes(3, c); }},
    {"lanes_4", [](const Cancel& c) { return run_lanes(4, c); }},
    {"finalize_into", run_finalize_into},
    {"finalize_lanes_1", run_finalize_lanes<1>},
    {"finalize_lanes_2", run_finalize_lanes<2>},
    {"finalize_lanes_3", run_finalize_lanes<3>},
    {"finalize_lanes_4", run_finalize_lanes<4>},
};

// Answers "stop" from poll number `stop_at` on (0: never), or panics there.
struct Hook {
    int stop_at = 0;
    bool panics = false;
    int polls = 0;

    Cancel cancel() { return {&Hook::poll, this}; }
    static bool poll(void* context) {
        auto& h = *static_cast<Hook*>(context);
        if (++h.polls != h.stop_at) return h.stop_at != 0 && h.polls > h.stop_at;
        if (h.panics) panic("poll panicked");
        return true;
    }
};

class Interrupt : public ::testing::TestWithParam<EntryPoint> {};

TEST_P(Interrupt, StopsAtThePollThatAsksAndPollsNoMore) {
    for (int at : {1, 2, 5}) {
        Hook hook{at};
        EXPECT_EQ(GetParam().run(hook.cancel()), std::nullopt) << "stop at poll " << at;
        EXPECT_EQ(hook.polls, at);
    }
}

TEST_P(Interrupt, PanicInThePollReachesTheCaller) {
    for (int at : {1, 3}) {
        Hook hook{at, true};
        EXPECT_THROW(GetParam().run(hook.cancel()), Panic) << "panic at poll " << at;
        EXPECT_EQ(hook.polls, at);
    }
}

TEST_P(Interrupt, AHookThatNeverStopsChangesNothing) {
    Hook hook;
    const Output plain = GetParam().run(Cancel{});
    ASSERT_NE(plain, std::nullopt);
    EXPECT_EQ(GetParam().run(hook.cancel()), plain);
    // Every step of the work asks: 64 for each key expansion, one for each
    // cost iteration; the smallest case here has 64.
    EXPECT_GE(hook.polls, 64);
}

INSTANTIATE_TEST_SUITE_P(EntryPoints, Interrupt, ::testing::ValuesIn(ENTRY_POINTS),
                         [](const auto& info) { return info.param.name; });

TEST(InterruptedKdf, LeavesTheOutputAndZeroesTheScratch) {
    for (size_t lanes = 1; lanes <= pbkdf::MAX_LANES; lanes++) {
        // Stopped in the second round, once the first has filled the blocks.
        Hook hook{64 + 2};
        std::vector<uint8_t> out(160, 0x5C), memory(160, 0xA5);
        auto r =
            pbkdf::bcrypt_pbkdf_with_lanes(PASSWORD, SALT, 2, out, memory, lanes, hook.cancel());
        ASSERT_FALSE(r.ok()) << lanes;
        EXPECT_EQ(r.error(), pbkdf::Error::Interrupted);
        EXPECT_EQ(out, std::vector<uint8_t>(160, 0x5C)) << lanes;
        EXPECT_EQ(memory, std::vector<uint8_t>(160, 0)) << lanes;
    }
}

}  // namespace
