// The Blowfish block cipher (encrypting direction only) and the two
// key-schedule steps of bcrypt's expensive setup.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace quorlix::blowfish {

// One flat value of 1042 words, S-boxes first. It owns nothing and lives on
// the caller's stack; copying it copies the whole state.
struct Blowfish {
    uint32_t s[4][256];
    uint32_t p[18];
};

// The left half is the first word of a block, the right half the second.
struct Block {
    uint32_t l;
    uint32_t r;
};

// A state holding the initial tables (the digits of pi).
Blowfish init_state() noexcept;

// Mixes key into the state: the Blowfish key schedule when run on a fresh
// state. Panics on an empty key.
void bc_expand_key(Blowfish& state, std::span<const uint8_t> key);

// bc_expand_key with the salt XORed into every block before it is
// encrypted. Panics on an empty salt or key.
void salted_expand_key(Blowfish& state, std::span<const uint8_t> salt,
                       std::span<const uint8_t> key);

///////////////////////////////////
/// Several states in lockstep ///
///////////////////////////////////
// The two steps above on N separate states at once, each with a key (and
// salt) of its own: states[k] ends exactly as the single-state step leaves
// it given keys[k]. One step is a single chain of dependent lookups that
// leaves most of the core idle; here the N chains run interleaved in one
// instruction stream, so the out-of-order core overlaps them. bcrypt_pbkdf
// keys its independent blocks this way, and bcrypt separate hashes. Built
// for N = 2 to 6: six states take 25 KiB, about half of the L1 data cache
// of current x86 cores.
template <size_t N>
using States = std::array<Blowfish, N>;
template <size_t N>
using Keys = std::array<std::span<const uint8_t>, N>;

template <size_t N>
void bc_expand_key(States<N>& states, const Keys<N>& keys);
template <size_t N>
void salted_expand_key(States<N>& states, const Keys<N>& salts, const Keys<N>& keys);

extern template void bc_expand_key<2>(States<2>&, const Keys<2>&);
extern template void salted_expand_key<2>(States<2>&, const Keys<2>&, const Keys<2>&);
extern template void bc_expand_key<3>(States<3>&, const Keys<3>&);
extern template void salted_expand_key<3>(States<3>&, const Keys<3>&, const Keys<3>&);
extern template void bc_expand_key<4>(States<4>&, const Keys<4>&);
extern template void salted_expand_key<4>(States<4>&, const Keys<4>&, const Keys<4>&);
extern template void bc_expand_key<5>(States<5>&, const Keys<5>&);
extern template void salted_expand_key<5>(States<5>&, const Keys<5>&, const Keys<5>&);
extern template void bc_expand_key<6>(States<6>&, const Keys<6>&);
extern template void salted_expand_key<6>(States<6>&, const Keys<6>&, const Keys<6>&);

//////////////////
/// The cipher ///
//////////////////
// These are inline so that the key schedules, bcrypt's final encryptions
// and bcrypt_pbkdf each get the rounds compiled into their own loops.

// v, the compiler knowing nothing more of it than its type: an empty asm
// claims to change it. It emits no instruction, on any processor.
template <class T>
[[gnu::always_inline]] inline T opaque(T v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __asm__("" : "+r"(v));
#endif
    return v;
}

// v, at this point of the program: a volatile asm is one that compilers
// keep in place and do not schedule other instructions across. Emits no
// instruction either.
template <class T>
[[gnu::always_inline]] inline T pinned(T v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __asm__ volatile("" : "+r"(v));
#endif
    return v;
}

// x ^ p as a value of its own. x is known long before F's result, so this
// XOR is off the chain of dependent lookups; opaque keeps the compiler
// from reassociating it onto the chain (it likes to XOR a loop-carried
// value last).
[[gnu::always_inline]] inline uint32_t whiten(uint32_t x, uint32_t p) noexcept {
    return opaque(x ^ p);
}

// One half-round: dst ^ P[I] ^ F(x), and F(x) itself.
struct HalfRound {
    uint32_t x;
    uint32_t f;
};

// The hand-scheduled round is built where the compiler takes GNU asm for
// x86-64 (clang-cl does without being __GNUC__), unless the build leaves it
// out (CMake does where the compiler cannot, or QUORLIX_ASM=OFF).
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__) && !defined(QUORLIX_NO_ASM)
#define QUORLIX_BLOWFISH_ASM 1
#else
#define QUORLIX_BLOWFISH_ASM 0
#endif
inline constexpr bool ASM_ROUND = QUORLIX_BLOWFISH_ASM;

// ASM_ROUND as the library was compiled; the tests hold it against theirs.
bool asm_round() noexcept;

// F(x) = ((S0[a] + S1[b]) ^ S2[c]) + S3[d], a being x's top byte, on the
// state st. Its S1 starts base + S1 bytes on: a register for each state
// (its S1 through opaque, which keeps the compiler from folding it into the
// state's register with a displacement), or one for several states in
// lockstep with a displacement for each.
#if QUORLIX_BLOWFISH_ASM
// F is the chain of dependent lookups that bcrypt's time goes into, and the
// compilers schedule it a cycle short of what the core can do, so it is
// spelled out. All four boxes and P are addressed from S1 with constant
// offsets. On current x86 cores a load from base + index is a cycle
// quicker than one with a scale or displacement; b is the byte that takes
// two instructions to extract, so its load gets that form (offset 4b, no
// displacement when S1 is 0) and arrives together with the other three,
// which take one instruction each: shr for a, movzx from the high and low
// byte registers for c and d. That beats the plain expression of F
// compiled, and crypt(3) (docs/benchmarks.md). Only a, b, c and d have a
// high byte register; without HighByte, c's index is taken with a shift and
// a mask, and x may be in any register. P[I] is read by its XOR: dst is
// known long before F, so that XOR is off the chain. The "m" operand tells
// the compiler which memory is read, so stores into the state stay ordered
// before it.
#define QUORLIX_F_A_B                                   \
    "movl   %k[x], %k[f]\n\t"                           \
    "shrl   $24, %k[f]\n\t"                             \
    "movl   %k[x], %k[i]\n\t"                           \
    "shrl   $14, %k[i]\n\t"                             \
    "andl   $0x3FC, %k[i]\n\t"                          \
    "movl   %c[s0](%[b],%[f],4), %k[f]\n\t" /* S0[a] */ \
    "addl   %c[s1](%[b],%[i]), %k[f]\n\t"   /* + S1[b] */
#define QUORLIX_F_D_P                                     \
    "movzbl %b[x], %k[i]\n\t"                             \
    "addl   %c[s3](%[b],%[i],4), %k[f]\n\t" /* + S3[d] */ \
    "xorl   %c[p](%[b]), %k[d]\n\t"                       \
    "xorl   %k[f], %k[d]"
#define QUORLIX_F_INPUTS                                                                        \
    [b] "r"(base), [s0] "i"(S1 - 1024), [s1] "i"(S1), [s2] "i"(S1 + 1024), [s3] "i"(S1 + 2048), \
        [p] "i"(S1 + 3072 + 4 * ptrdiff_t(I)), "m"(st)
template <size_t I, ptrdiff_t S1 = 0, bool HighByte = true>
[[gnu::always_inline]] inline HalfRound half_round(const Blowfish& st, const uint32_t* base,
                                                   uint32_t dst, uint32_t x) noexcept {
    uint64_t f, i;
    if constexpr (HighByte) {
        __asm__(QUORLIX_F_A_B
                "movzbl %h[x], %k[i]\n\t"
                "xorl   %c[s2](%[b],%[i],4), %k[f]\n\t"  // ^ S2[c]
                QUORLIX_F_D_P
                : [d] "+r"(dst), [f] "=&r"(f), [i] "=&R"(i)
                : [x] "Q"(x), QUORLIX_F_INPUTS);
    } else {
        __asm__(QUORLIX_F_A_B
                "movl   %k[x], %k[i]\n\t"
                "shrl   $6, %k[i]\n\t"
                "andl   $0x3FC, %k[i]\n\t"
                "xorl   %c[s2](%[b],%[i]), %k[f]\n\t"  // ^ S2[c]
                QUORLIX_F_D_P
                : [d] "+r"(dst), [f] "=&r"(f), [i] "=&r"(i)
                : [x] "r"(x), QUORLIX_F_INPUTS);
    }
    return {dst, uint32_t(f)};
}
#undef QUORLIX_F_A_B
#undef QUORLIX_F_D_P
#undef QUORLIX_F_INPUTS
#else
// The same dataflow in C++. Only the load of S1[b] needs a form that the
// compilers do not choose themselves: its offset 4b, taken with a shift and
// a mask, added to the register that holds S1; for b itself they would
// emit a scaled load, a cycle slower. The other boxes are indexed as the
// arrays they are, and the compilers address them from the state's
// register, as quick as the asm's loads. P[I] goes into dst first: in that
// order clang keeps four lanes' halves in registers.
// dst ^ P[I] is pinned after the previous half-round in program order, as
// in the asm. dst is that half-round's x, so the XOR is ready in the same
// cycle as that half-round's index extractions; a compiler left alone
// hoists it above them, the core's oldest-first pick then runs it first,
// and now and then the chain's shift waits a cycle for an ALU. Pinned, the
// round is quicker with both compilers and kdf's lanes lose nothing
// (docs/benchmarks.md).
template <size_t I, ptrdiff_t S1 = 0, bool HighByte = true>
[[gnu::always_inline]] inline HalfRound half_round(const Blowfish& st, const uint32_t* base,
                                                   uint32_t dst, uint32_t x) noexcept {
    const uint32_t w = pinned(pinned(dst) ^ st.p[I]);
    const unsigned char* s1 = reinterpret_cast<const unsigned char*>(base) + S1;
    uint32_t s1_b;
    std::memcpy(&s1_b, s1 + ((x >> 14) & 0x3FC), sizeof s1_b);
    const uint32_t f = ((st.s[0][x >> 24] + s1_b) ^ st.s[2][(x >> 8) & 0xFF]) + st.s[3][x & 0xFF];
    return {w ^ f, f};
}
#endif

// Half-rounds I to J (J - I odd) of one state: R ^= P[i] ^ F(L), then the
// same the other way round. s1 is st.s[1] through opaque.
template <size_t I, size_t J>
[[gnu::always_inline]] inline void half_rounds(const Blowfish& st, const uint32_t* s1, uint32_t& l,
                                               uint32_t& r) noexcept {
    r = half_round<I>(st, s1, r, l).x;
    l = half_round<I + 1>(st, s1, l, r).x;
    if constexpr (I + 2 < J) half_rounds<I + 2, J>(st, s1, l, r);
}

// Sixteen rounds, unrolled: L ^= P[i]; R ^= F(L); swap. Each half-round
// XORs its P word into the half it changes, so F and one XOR are all that
// sit on the chain. The block is passed by value, so its words never
// alias the state and nothing is reloaded after a store.
[[gnu::always_inline]] inline Block encrypt(const Blowfish& st, Block in) noexcept {
    uint32_t l = in.l ^ st.p[0];
    uint32_t r = in.r;
    half_rounds<1, 16>(st, opaque(st.s[1]), l, r);
    return {r ^ st.p[17], l};  // the closing exchange of the halves
}

}  // namespace quorlix::blowfish
