#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sha512/sha512.h"

#if defined(_WIN32)
#include <windows.h>
#endif

using namespace quorlix::sha512;

namespace {

std::string hex(std::span<const uint8_t> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) s += {digits[b >> 4], digits[b & 15]};
    return s;
}

std::vector<uint8_t> text(std::string_view s) { return {s.begin(), s.end()}; }

// Byte i is i * 37 + 11 (mod 256).
std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; i++) out[i] = uint8_t(i * 37 + 11);
    return out;
}

std::vector<uint8_t> random_bytes(std::mt19937_64& rng, size_t n) {
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = uint8_t(rng());
    return out;
}

bool cpu_has_avx2() {
#if defined(_WIN32) && defined(__x86_64__)
    // MinGW's runtime never fills in what __builtin_cpu_supports reads.
    return IsProcessorFeaturePresent(PF_AVX2_INSTRUCTIONS_AVAILABLE);
#elif defined(__x86_64__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

struct KnownAnswer {
    const char* name;
    std::vector<uint8_t> message;
    const char* digest;
};

// FIPS 180-4 examples, then the pattern at lengths around the padding edges;
// the latter computed once with Python's hashlib.sha512.
std::vector<KnownAnswer> known_answers() {
    return {
        {"abc", text("abc"),
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"896 bits",
         text("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
              "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
        {"million a", std::vector<uint8_t>(1000000, 'a'),
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
         "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
        {"pattern 0", pattern(0),
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {"pattern 111", pattern(111),
         "4d1db900250c96436052fbca79c13acbf378aad9c35b87d94c3803264df61fd2"
         "2cbd327c8938d024db372abf4208934ee09367d571d6c670bf74ee07b83e7506"},
        {"pattern 112", pattern(112),
         "dfb715ca3478a894302ace39c42d1d6646e1044f2247a6274d8b42d155d2fdbe"
         "7017195e85cfba96bedc51f84c44638978a540039ff09c64cef6c0c5ccc8f7b6"},
        {"pattern 127", pattern(127),
         "f93a0e7465b294188e8aa2b1cc2e98bc8d5115d46f51c7a9ec599b9d9f96a80f"
         "ef6a4f226b648c89bd9eac23b3d64264898b568d915c66666c44cd0319e2ef56"},
        {"pattern 128", pattern(128),
         "0b4815d35f9d07b1a30de2790e1be2a720234295cd7b4d9e9af51719ff90019f"
         "1fe6d4e402a7dcc4177085023dc460ab743dad9b2c1dda42662bda5d3b2e155b"},
        {"pattern 129", pattern(129),
         "1809db04d02717483e04bc4333a14308bd2d0213ba7bf2c63f11eb1b8a0af825"
         "2e67fd104fd466fb95f945539824d8e4183155fa5ced0bee3dad46d9384a0bd5"},
        {"pattern 1000", pattern(1000),
         "bef824658455c75d8ed438db9b1c2c26c705f5f0423c3b42834e0a5aded3123e"
         "fc6be2da589e55e43f3d1d03e6a83134bb9781333bc63f72a0e2559d1263209d"},
    };
}

#if QUORLIX_SHA512_HAVE_AVX2
// Pins compress() to one implementation for the lifetime of the guard.
class ForcedChoice {
public:
    explicit ForcedChoice(uint8_t choice) : saved_(avx2_cpuid::STORAGE.load()) {
        avx2_cpuid::STORAGE.store(choice);
    }
    ~ForcedChoice() { avx2_cpuid::STORAGE.store(saved_); }

private:
    uint8_t saved_;
};
#endif

// The choices of compress() this machine can run: 0 portable, 1 AVX2.
std::vector<uint8_t> runnable_choices() {
    if (cpu_has_avx2()) return {0, 1};
    return {0};
}

}  // namespace

///////////////
/// Digests ///
///////////////
TEST(Sha512, KnownAnswersWithEachCompression) {
    const auto cases = known_answers();
    for (uint8_t choice : runnable_choices()) {
#if QUORLIX_SHA512_HAVE_AVX2
        ForcedChoice forced(choice);
#endif
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << ", choice " << int(choice));
            EXPECT_EQ(hex(sha512_digest(c.message)), c.digest);
            Sha512Hasher h;
            h.update(c.message);
            uint8_t out[DIGEST_LEN];
            h.finalize_into(out);
            EXPECT_EQ(hex(out), c.digest);
        }
    }
}

TEST(Sha512, StreamingInRandomPiecesMatchesOneShot) {
    std::mt19937_64 rng(512);
    const size_t lengths[] = {0, 1, 111, 112, 127, 128, 129, 255, 256, 257, 640, 1000, 2175};
    for (size_t len : lengths) {
        const auto msg = random_bytes(rng, len);
        const auto want = sha512_digest(msg);
        for (int trial = 0; trial < 30; trial++) {
            Sha512Hasher h;
            size_t fed = 0;
            while (fed < len || rng() % 3 == 0) {
                // A quarter of the pieces are empty; the rest up to 300 bytes.
                size_t piece = rng() % 4 == 0 ? 0 : rng() % 301;
                piece = std::min(piece, len - fed);
                h.update({msg.data() + fed, piece});
                fed += piece;
            }
            ASSERT_EQ(h.finalize(), want) << "length " << len << ", trial " << trial;
        }
    }
}

TEST(Sha512, CopiedHasherContinuesIndependently) {
    const auto prefix = pattern(200);  // leaves one block compressed, 72 bytes buffered
    const auto x = text("one continuation");
    const auto y = pattern(300);

    Sha512Hasher h;
    h.update(prefix);
    Sha512Hasher copy = h;
    h.update(x);
    copy.update(y);

    auto joined = [&](const std::vector<uint8_t>& tail) {
        auto all = prefix;
        all.insert(all.end(), tail.begin(), tail.end());
        return sha512_digest(all);
    };
    EXPECT_EQ(h.finalize(), joined(x));
    EXPECT_EQ(copy.finalize(), joined(y));
}

///////////////////
/// Compression ///
///////////////////
// The name of the compression compress() runs on this machine.
std::string chosen_name() {
    const CompressFn chosen = chosen_compression();
    if (chosen == sha512_compress_portable) return "portable";
#if QUORLIX_SHA512_HAVE_AVX2
    if (chosen == sha512_compress_x86_64_avx2) return "avx2";
#endif
    return "unknown";
}

// Whoever runs the tests may say which compression the processor must get
// (QUORLIX_EXPECT_SHA512=portable or avx2), from what they know of it: an
// emulated processor without AVX2, say.
TEST(Sha512Compress, ChoiceIsTheExpectedOne) {
    const char* want = std::getenv("QUORLIX_EXPECT_SHA512");
    if (want == nullptr) GTEST_SKIP() << "QUORLIX_EXPECT_SHA512 is not set";
    const std::string got = chosen_name();
    std::printf("SHA-512 compression: %s\n", got.c_str());
    EXPECT_EQ(got, want);
}

#if QUORLIX_SHA512_HAVE_AVX2
TEST(Sha512Compress, Avx2MatchesPortable) {
    if (!cpu_has_avx2()) GTEST_SKIP() << "this CPU cannot run the AVX2 compression";
    std::mt19937_64 rng(2);
    for (size_t count = 0; count <= 9; count++) {
        for (int trial = 0; trial < 20; trial++) {
            // Start one byte in, so the blocks are not aligned.
            const auto buf = random_bytes(rng, 1 + count * BLOCK_LEN);
            uint64_t start[8], portable[8], avx2[8];
            for (auto& w : start) w = rng();
            std::memcpy(portable, start, sizeof start);
            std::memcpy(avx2, start, sizeof start);

            sha512_compress_portable(portable, buf.data() + 1, count);
            sha512_compress_x86_64_avx2(avx2, buf.data() + 1, count);
            ASSERT_EQ(std::vector(avx2, avx2 + 8), std::vector(portable, portable + 8))
                << count << " blocks, trial " << trial;
            if (count == 0) {
                ASSERT_EQ(std::vector(avx2, avx2 + 8), std::vector(start, start + 8));
            }
        }
    }
}

//////////////////////
/// AVX2 detection ///
//////////////////////
struct DetectionCase {
    const char* name;
    uint32_t leaf1_ecx;
    uint32_t leaf7_ebx;
    uint64_t xcr0;
    bool usable;
    bool reads_xcr0;
};

TEST(Avx2Cpuid, DecisionFromRegisters) {
    constexpr uint32_t XSAVE = 1u << 26, OSXSAVE = 1u << 27, AVX = 1u << 28;
    constexpr uint32_t ECX = XSAVE | OSXSAVE | AVX, AVX2 = 1u << 5;
    constexpr uint64_t XCR0 = 0x7;  // x87, SSE and AVX state
    const DetectionCase cases[] = {
        {"everything set", ECX, AVX2, XCR0, true, true},
        {"every bit set", ~0u, ~0u, ~0ull, true, true},
        {"no AVX state in XCR0", ECX, AVX2, XCR0 & ~4ull, false, true},
        {"no SSE state in XCR0", ECX, AVX2, XCR0 & ~2ull, false, true},
        {"XSAVE clear", ECX & ~XSAVE, AVX2, XCR0, false, false},
        {"OSXSAVE clear", ECX & ~OSXSAVE, AVX2, XCR0, false, false},
        {"AVX clear", ECX & ~AVX, AVX2, XCR0, false, true},
        {"AVX2 clear", ECX, 0, XCR0, false, true},
        {"leaf 7 all but AVX2", ECX, ~AVX2, XCR0, false, true},
    };
    for (const auto& c : cases) {
        int reads = 0;
        const bool usable = avx2_cpuid::avx2_usable(c.leaf1_ecx, c.leaf7_ebx, [&] {
            reads++;
            return c.xcr0;
        });
        EXPECT_EQ(usable, c.usable) << c.name;
        EXPECT_EQ(reads, c.reads_xcr0 ? 1 : 0) << c.name;
    }
}

TEST(Avx2Cpuid, RecordedChoiceDecidesTheCompression) {
    const std::pair<uint8_t, CompressFn> cases[] = {
        {0, sha512_compress_portable},
        {1, sha512_compress_x86_64_avx2},
        {0x42, sha512_compress_portable},  // anything but 1 and 0xFF
    };
    for (auto [recorded, want] : cases) {
        ForcedChoice forced(recorded);
        EXPECT_EQ(chosen_compression(), want) << int(recorded);
        EXPECT_EQ(avx2_cpuid::STORAGE.load(), recorded) << "a recorded answer is final";
    }
}

TEST(Avx2Cpuid, FirstCompressionRecordsWhatTheCpuSupports) {
    ForcedChoice undetermined(avx2_cpuid::UNDETERMINED);
    const uint8_t want = cpu_has_avx2() ? 1 : 0;

    uint64_t state[8] = {};
    const auto block = pattern(BLOCK_LEN);
    compress(state, block.data(), 1);
    EXPECT_EQ(avx2_cpuid::STORAGE.load(), want);
    EXPECT_EQ(avx2_cpuid::init_get(), want == 1);
    EXPECT_EQ(chosen_compression(), want ? sha512_compress_x86_64_avx2 : sha512_compress_portable);

    avx2_cpuid::STORAGE.store(avx2_cpuid::UNDETERMINED);
    EXPECT_EQ(avx2_cpuid::init_get(), want == 1);
    EXPECT_EQ(avx2_cpuid::STORAGE.load(), want);
}
#endif
