// The portable SHA-512 compression, for processors without AVX2.
#include "common.h"
#include "sha512/sha512.h"
#include "sha512/sha512_rounds.h"

namespace quorlix::sha512 {

// The message schedule lives in a 16-word window: W[t] replaces W[t - 16].
void sha512_compress_portable(uint64_t state[8], const uint8_t* blocks, size_t count) noexcept {
    for (; count > 0; count--, blocks += BLOCK_LEN) {
        uint64_t w[16];
        for (int i = 0; i < 16; i++) w[i] = load64_be(blocks + 8 * i);

        uint64_t v[8];
        for (int i = 0; i < 8; i++) v[i] = state[i];

        for (int t = 0; t < 80; t += 16) {
#pragma GCC unroll 16
            for (int i = 0; i < 16; i++) {
                if (t > 0) {
                    w[i] += small_sigma1(w[(i + 14) & 15]) + w[(i + 9) & 15] +
                            small_sigma0(w[(i + 1) & 15]);
                }
                round(v, i, w[i] + K[t + i]);
            }
        }

        for (int i = 0; i < 8; i++) state[i] += v[i];
    }
}

}  // namespace quorlix::sha512
