// The AVX2 compression. Its functions alone are compiled for AVX2 (the
// target pragmas below, on x86-64 only; elsewhere the file is empty);
// nothing in it may run before avx2_cpuid has said yes. It calls only
// intrinsics and functions of internal linkage, so no AVX2 code leaks into
// shared inline functions that the rest of the library also uses.
//
// The message schedule is what vectorises: words t and t+1 depend only on
// earlier words, so two of them come out of each vector step. The rounds
// stay scalar. A pair of blocks shares 256-bit vectors, one block per
// 128-bit lane; the schedule's shuffles (byte swap, word alignment) work
// within a lane, so the two blocks never mix.
#include "sha512/sha512.h"

#if QUORLIX_SHA512_HAVE_AVX2
#include <immintrin.h>

// Everything from here on, the shared round functions included, is AVX2 code.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "sha512/sha512_rounds.h"

namespace quorlix::sha512 {

namespace {

////////////////////////////////////////////
/// Vector helpers, 128- and 256-bit alike ///
////////////////////////////////////////////
template <int N>
__m128i shr(__m128i x) {
    return _mm_srli_epi64(x, N);
}
template <int N>
__m256i shr(__m256i x) {
    return _mm256_srli_epi64(x, N);
}
template <int N>
__m128i shl(__m128i x) {
    return _mm_slli_epi64(x, N);
}
template <int N>
__m256i shl(__m256i x) {
    return _mm256_slli_epi64(x, N);
}
__m128i add(__m128i a, __m128i b) { return _mm_add_epi64(a, b); }
__m256i add(__m256i a, __m256i b) { return _mm256_add_epi64(a, b); }
__m128i eor(__m128i a, __m128i b) { return _mm_xor_si128(a, b); }
__m256i eor(__m256i a, __m256i b) { return _mm256_xor_si256(a, b); }

// Per lane: the upper word of lo, then the lower word of hi.
__m128i middle(__m128i lo, __m128i hi) { return _mm_alignr_epi8(hi, lo, 8); }
__m256i middle(__m256i lo, __m256i hi) { return _mm256_alignr_epi8(hi, lo, 8); }

// Reverses the bytes of each 64-bit word. A function, not a global: a
// global's initialiser would run at load time, on any processor.
__m128i bswap64_mask() {
    return _mm_set_epi8(8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2, 3, 4, 5, 6, 7);
}

__m128i load_words(const uint8_t* p) {
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), bswap64_mask());
}

// Words of block p in the lower lane, the same words of block q in the upper.
__m256i load_words(const uint8_t* p, const uint8_t* q) {
    const __m256i both = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)), 1);
    return _mm256_shuffle_epi8(both, _mm256_broadcastsi128_si256(bswap64_mask()));
}

__m128i k_pair(int j) { return _mm_load_si128(reinterpret_cast<const __m128i*>(K + 2 * j)); }
__m128i k_for(__m128i, int j) { return k_pair(j); }
__m256i k_for(__m256i, int j) { return _mm256_broadcastsi128_si256(k_pair(j)); }

void store(uint64_t* out, __m128i x) { _mm_store_si128(reinterpret_cast<__m128i*>(out), x); }
void store(uint64_t* out, __m256i x) { _mm256_store_si256(reinterpret_cast<__m256i*>(out), x); }

// No 64-bit rotation before AVX-512, so rotations are shift pairs.
template <class V>
V small_sigma0_v(V x) {
    return eor(eor(eor(shr<1>(x), shl<63>(x)), eor(shr<8>(x), shl<56>(x))), shr<7>(x));
}

template <class V>
V small_sigma1_v(V x) {
    return eor(eor(eor(shr<19>(x), shl<45>(x)), eor(shr<61>(x), shl<3>(x))), shr<6>(x));
}

// Schedule words t and t+1 (per lane), from the pairs starting at t-16,
// t-14, t-8, t-6 and t-2.
template <class V>
V next_pair(V w16, V w14, V w8, V w6, V w2) {
    return add(add(w16, small_sigma0_v(middle(w16, w14))), add(middle(w8, w6), small_sigma1_v(w2)));
}

//////////////////////////
/// Schedule and rounds ///
//////////////////////////
// Runs all 80 rounds of the lower-lane block on state while computing the
// schedule of x, whose pair j (words 2j, 2j+1, K added) lands in wk + j * S.
// The rounds for words t use values stored 16 words earlier, so the vector
// and scalar work overlap without waiting on each other.
template <class V, int S>
void rounds_with_schedule(uint64_t state[8], V x[8], uint64_t* wk) {
    for (int j = 0; j < 8; j++) store(wk + j * S, add(x[j], k_for(x[j], j)));

    uint64_t v[8];
    for (int i = 0; i < 8; i++) v[i] = state[i];

    for (int j0 = 8; j0 < 40; j0 += 8) {
#pragma GCC unroll 8
        for (int i = 0; i < 8; i++) {
            const int j = j0 + i;
            x[i] = next_pair(x[i], x[(i + 1) & 7], x[(i + 4) & 7], x[(i + 5) & 7], x[(i + 7) & 7]);
            store(wk + j * S, add(x[i], k_for(x[i], j)));
            round(v, 2 * i, wk[(j - 8) * S]);
            round(v, 2 * i + 1, wk[(j - 8) * S + 1]);
        }
    }
#pragma GCC unroll 8
    for (int i = 0; i < 8; i++) {
        round(v, 2 * i, wk[(32 + i) * S]);
        round(v, 2 * i + 1, wk[(32 + i) * S + 1]);
    }

    for (int i = 0; i < 8; i++) state[i] += v[i];
}

void compress_one(uint64_t state[8], const uint8_t* block) {
    alignas(16) uint64_t wk[80];
    __m128i x[8];
    for (int i = 0; i < 8; i++) x[i] = load_words(block + 16 * i);
    rounds_with_schedule<__m128i, 2>(state, x, wk);
}

void compress_two(uint64_t state[8], const uint8_t* blocks) {
    // Pair j: words 2j, 2j+1 of the first block, then of the second.
    alignas(32) uint64_t wk[40 * 4];
    __m256i x[8];
    for (int i = 0; i < 8; i++) x[i] = load_words(blocks + 16 * i, blocks + BLOCK_LEN + 16 * i);
    rounds_with_schedule<__m256i, 4>(state, x, wk);

    uint64_t v[8];
    for (int i = 0; i < 8; i++) v[i] = state[i];
    for (int j0 = 0; j0 < 40; j0 += 8) {
#pragma GCC unroll 8
        for (int i = 0; i < 8; i++) {
            round(v, 2 * i, wk[(j0 + i) * 4 + 2]);
            round(v, 2 * i + 1, wk[(j0 + i) * 4 + 3]);
        }
    }
    for (int i = 0; i < 8; i++) state[i] += v[i];
}

}  // namespace

void sha512_compress_x86_64_avx2(uint64_t state[8], const uint8_t* blocks, size_t count) noexcept {
    if (count % 2 == 1) {
        compress_one(state, blocks);
        blocks += BLOCK_LEN;
        count--;
    }
    for (; count > 0; count -= 2, blocks += 2 * BLOCK_LEN) compress_two(state, blocks);
}

}  // namespace quorlix::sha512

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif  // QUORLIX_SHA512_HAVE_AVX2
