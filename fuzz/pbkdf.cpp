// bcrypt_pbkdf with few rounds against a reference written out naively over
// the project's Blowfish and SHA-512 primitives: one one-shot digest per
// Bhash, PBKDF2 block by block, the stride spelled as "block j gives its byte
// k to position k * stride + j". Also: scratch memory longer than needed and
// full of junk changes nothing, and rejected parameters write nothing.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "blowfish/blowfish.h"
#include "check.h"
#include "common.h"
#include "pbkdf/bcrypt_pbkdf.h"
#include "sha512/sha512.h"

using namespace quorlix;
using Bytes = std::span<const uint8_t>;

namespace {

using Block32 = std::array<uint8_t, 32>;

Block32 reference_bhash(const sha512::Digest& password_digest, Bytes input) {
    const sha512::Digest salt_digest = sha512::sha512_digest(input);
    blowfish::Blowfish st = blowfish::init_state();
    blowfish::salted_expand_key(st, salt_digest, password_digest);
    for (int i = 0; i < 64; i++) {
        blowfish::bc_expand_key(st, salt_digest);
        blowfish::bc_expand_key(st, password_digest);
    }
    const char* magic = "OxychromaticBlowfishSwatDynamite";
    blowfish::Block w[4];
    for (int j = 0; j < 4; j++) {
        w[j].l = load32_be(reinterpret_cast<const uint8_t*>(magic) + 8 * j);
        w[j].r = load32_be(reinterpret_cast<const uint8_t*>(magic) + 8 * j + 4);
    }
    for (int i = 0; i < 64; i++) {
        for (auto& b : w) b = blowfish::encrypt(st, b);
    }
    Block32 out;
    for (int j = 0; j < 4; j++) {
        store32_le(out.data() + 8 * j, w[j].l);
        store32_le(out.data() + 8 * j + 4, w[j].r);
    }
    return out;
}

std::vector<uint8_t> reference_pbkdf(Bytes password, Bytes salt, uint32_t rounds, size_t n) {
    const sha512::Digest dp = sha512::sha512_digest(password);
    const size_t stride = (n + 31) / 32;
    std::vector<uint8_t> out(n);
    for (size_t j = 0; j < stride; j++) {
        std::vector<uint8_t> first(salt.begin(), salt.end());
        uint8_t counter[4];
        store32_be(counter, uint32_t(j + 1));
        first.insert(first.end(), counter, counter + 4);
        Block32 u = reference_bhash(dp, first);
        Block32 t = u;
        for (uint32_t r = 1; r < rounds; r++) {
            u = reference_bhash(dp, u);
            for (size_t i = 0; i < 32; i++) t[i] ^= u[i];
        }
        for (size_t k = 0; k * stride + j < n; k++) out[k * stride + j] = t[k];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    const uint8_t shape = in.byte();
    // Each Bhash is a few milliseconds under the sanitizers: mostly one or
    // two blocks at one or two rounds, now and then a long key at one round.
    uint32_t rounds = 1 + shape % 2;
    size_t n = 1 + in.byte() % 48;
    if (shape & 0x80) {
        rounds = 1;
        n = 1 + ((size_t(in.byte()) << 8 | in.byte()) % 1024);
    }
    const size_t extra_memory = (shape >> 2) & 0x1F;
    const Bytes password = in.take(in.byte());
    const Bytes salt = in.take(in.size);

    if (password.empty() || salt.empty()) {
        std::vector<uint8_t> out(n, 0x5A);
        const auto r = pbkdf::bcrypt_pbkdf(password, salt, rounds, out);
        FUZZ_CHECK(!r && r.error() == pbkdf::Error::InvalidParamLen);
        FUZZ_CHECK(out == std::vector<uint8_t>(n, 0x5A));
        return 0;
    }

    const std::vector<uint8_t> want = reference_pbkdf(password, salt, rounds, n);

    // Exactly n bytes on the heap, so a write past the key is caught.
    std::unique_ptr<uint8_t[]> out(new uint8_t[n]);
    FUZZ_CHECK(pbkdf::bcrypt_pbkdf(password, salt, rounds, {out.get(), n}));
    FUZZ_CHECK(std::memcmp(out.get(), want.data(), n) == 0);

    const size_t needed = 32 * pbkdf::stride_for(n);
    if (shape & 0x40) {
        std::vector<uint8_t> memory(needed + extra_memory, shape);
        std::vector<uint8_t> again(n);
        FUZZ_CHECK(pbkdf::bcrypt_pbkdf_with_memory(password, salt, rounds, again, memory));
        FUZZ_CHECK(again == want);
    }

    // Too little scratch memory and a zero round count are refused untouched.
    std::vector<uint8_t> small(needed - 1, 0xC3), untouched(n, 0x3C);
    const auto short_memory =
        pbkdf::bcrypt_pbkdf_with_memory(password, salt, rounds, untouched, small);
    FUZZ_CHECK(!short_memory && short_memory.error() == pbkdf::Error::InvalidMemoryLen);
    const auto no_rounds = pbkdf::bcrypt_pbkdf(password, salt, 0, untouched);
    FUZZ_CHECK(!no_rounds && no_rounds.error() == pbkdf::Error::InvalidRounds);
    FUZZ_CHECK(untouched == std::vector<uint8_t>(n, 0x3C));
    FUZZ_CHECK(small == std::vector<uint8_t>(needed - 1, 0xC3));
    return 0;
}
