// SHA-512 streaming against one-shot: the input is fed in pieces whose sizes
// the fuzzer picks (empty pieces included), with a copy of the hasher taken
// midway, and every digest must equal sha512_digest and a reference that pads
// the whole message by hand and runs the portable compression over it. Where
// the processor allows, the AVX2 compression must match the portable one on
// the same blocks.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "check.h"
#include "sha512/sha512.h"

using namespace quorlix::sha512;

namespace {

constexpr uint64_t IV[8] = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b,
                            0xa54ff53a5f1d36f1, 0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                            0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

Digest reference_digest(const uint8_t* msg, size_t len) {
    std::vector<uint8_t> padded(msg, msg + len);
    padded.push_back(0x80);
    while (padded.size() % BLOCK_LEN != BLOCK_LEN - 16) padded.push_back(0);
    const unsigned __int128 bits = static_cast<unsigned __int128>(len) * 8;
    for (int i = 15; i >= 0; i--) padded.push_back(uint8_t(bits >> (8 * i)));

    uint64_t state[8];
    std::memcpy(state, IV, sizeof state);
    sha512_compress_portable(state, padded.data(), padded.size() / BLOCK_LEN);
    Digest d;
    for (int i = 0; i < 8; i++) {
        for (int b = 0; b < 8; b++) d[size_t(8 * i + b)] = uint8_t(state[i] >> (56 - 8 * b));
    }
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // First byte: how many of the following bytes steer the piece sizes.
    const size_t steer = std::min<size_t>(data[0] % 16, size - 1);
    const uint8_t* sizes = data + 1;
    const uint8_t* msg = data + 1 + steer;
    const size_t len = size - 1 - steer;

    const Digest want = reference_digest(msg, len);
    FUZZ_CHECK(sha512_digest({msg, len}) == want);

    // Piece sizes cycle through the steering bytes, scaled to cross block
    // boundaries, and an even steering byte feeds an empty piece first;
    // without steering the message goes in whole. Once half of it is in, a
    // copy of the hasher is taken and fed the same pieces from then on.
    Sha512Hasher h;
    Sha512Hasher copy;
    bool copied = false;
    for (size_t at = 0, i = 0; at < len; i++) {
        const uint8_t s = steer == 0 ? 1 : sizes[i % steer];
        const size_t piece = steer == 0 ? len : std::min<size_t>(1 + size_t(s) * 3, len - at);
        for (Sha512Hasher* x : {&h, &copy}) {
            if (x == &copy && !copied) continue;
            if (s % 2 == 0) x->update({msg + at, 0});
            x->update({msg + at, piece});
        }
        at += piece;
        if (!copied && at >= len / 2) {
            copy = h;
            copied = true;
        }
    }
    h.update({msg, 0});
    FUZZ_CHECK(h.finalize() == want);
    if (copied) FUZZ_CHECK(copy.finalize() == want);

#if QUORLIX_SHA512_HAVE_AVX2
    if (avx2_cpuid::init_get()) {
        const size_t blocks = len / BLOCK_LEN;
        uint64_t portable[8], avx2[8];
        std::memcpy(portable, IV, sizeof IV);
        std::memcpy(avx2, IV, sizeof IV);
        sha512_compress_portable(portable, msg, blocks);
        sha512_compress_x86_64_avx2(avx2, msg, blocks);
        FUZZ_CHECK(std::memcmp(portable, avx2, sizeof portable) == 0);
    }
#endif
    return 0;
}
