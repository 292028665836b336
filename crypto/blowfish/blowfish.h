// The Blowfish block cipher (encrypting direction only) and the two
// key-schedule steps of bcrypt's expensive setup.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
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
// keys its independent blocks this way. Built for N = 2, 3 and 4: the
// S-boxes of four states fill 16 KiB, half of the L1 data cache.
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

//////////////////
/// The cipher ///
//////////////////
// These are inline so that the key schedules, bcrypt's final encryptions
// and bcrypt_pbkdf each get the rounds compiled into their own loops.

// F(x) = ((S0[a] + S1[b]) ^ S2[c]) + S3[d], a being x's top byte.
#if defined(__GNUC__) && defined(__x86_64__)
// F is the chain of dependent lookups that bcrypt's time goes into, and the
// compilers schedule it a cycle short of what the core can do, so it is
// spelled out. All four boxes are addressed from S1 with constant offsets.
// On current x86 cores a load from base + index is a cycle quicker than one
// with a scale or displacement; b is the byte that takes two instructions
// to extract, so its load gets that form (offset 4b, no displacement) and
// arrives together with the other three, which take one instruction each:
// shr for a, movzx from the high and low byte registers for c and d.
// Measured: about 10.5 cycles per half-round against 11.2 for the
// compiled form. The "m" operand tells the compiler which memory is read,
// so stores into the S-boxes stay ordered before it.
[[gnu::always_inline]] inline uint32_t round_f(const Blowfish& st, uint32_t x) noexcept {
    uint64_t f, i;
    __asm__(
        "movl   %k[x], %k[f]\n\t"
        "shrl   $24, %k[f]\n\t"
        "movl   %k[x], %k[i]\n\t"
        "shrl   $14, %k[i]\n\t"
        "andl   $0x3FC, %k[i]\n\t"
        "movl   -0x400(%[s1],%[f],4), %k[f]\n\t"  // S0[a]
        "addl   (%[s1],%[i]), %k[f]\n\t"          // + S1[b]
        "movzbl %h[x], %k[i]\n\t"
        "xorl   0x400(%[s1],%[i],4), %k[f]\n\t"  // ^ S2[c]
        "movzbl %b[x], %k[i]\n\t"
        "addl   0x800(%[s1],%[i],4), %k[f]"  // + S3[d]
        : [f] "=&r"(f), [i] "=&R"(i)
        : [x] "Q"(x), [s1] "r"(st.s[1]), "m"(st.s));
    return uint32_t(f);
}
#else
[[gnu::always_inline]] inline uint32_t round_f(const Blowfish& st, uint32_t x) noexcept {
    return ((st.s[0][x >> 24] + st.s[1][(x >> 16) & 0xFF]) ^ st.s[2][(x >> 8) & 0xFF]) +
           st.s[3][x & 0xFF];
}
#endif

// x ^ p as a value of its own. x is known long before F's result, so this
// XOR is off the chain of dependent lookups; the empty asm keeps the
// compiler from reassociating it onto the chain (it likes to XOR a
// loop-carried value last).
[[gnu::always_inline]] inline uint32_t whiten(uint32_t x, uint32_t p) noexcept {
    uint32_t v = x ^ p;
#if defined(__GNUC__)
    __asm__("" : "+r"(v));
#endif
    return v;
}

// Half-rounds 1 to 14, on halves already XORed with P0 and P1.
[[gnu::always_inline]] inline void rounds_1_to_14(const Blowfish& st, const uint32_t* p,
                                                  uint32_t& l, uint32_t& r) noexcept {
    r ^= round_f(st, l);
    l = whiten(l, p[2]) ^ round_f(st, r);
    r = whiten(r, p[3]) ^ round_f(st, l);
    l = whiten(l, p[4]) ^ round_f(st, r);
    r = whiten(r, p[5]) ^ round_f(st, l);
    l = whiten(l, p[6]) ^ round_f(st, r);
    r = whiten(r, p[7]) ^ round_f(st, l);
    l = whiten(l, p[8]) ^ round_f(st, r);
    r = whiten(r, p[9]) ^ round_f(st, l);
    l = whiten(l, p[10]) ^ round_f(st, r);
    r = whiten(r, p[11]) ^ round_f(st, l);
    l = whiten(l, p[12]) ^ round_f(st, r);
    r = whiten(r, p[13]) ^ round_f(st, l);
    l = whiten(l, p[14]) ^ round_f(st, r);
}

// Sixteen rounds, unrolled: L ^= P[i]; R ^= F(L); swap. Each half-round
// XORs the next P word into its half ahead of F, so F and one XOR are all
// that sit on the chain. The block is passed by value, so its words never
// alias the state and nothing is reloaded after a store.
[[gnu::always_inline]] inline Block encrypt(const Blowfish& st, Block in) noexcept {
    const uint32_t* p = st.p;
    uint32_t l = in.l ^ p[0];
    uint32_t r = in.r ^ p[1];
    rounds_1_to_14(st, p, l, r);
    r = whiten(r, p[15]) ^ round_f(st, l);
    l = whiten(l, p[16]) ^ round_f(st, r);
    return {r ^ p[17], l};  // the closing exchange of the halves
}

}  // namespace quorlix::blowfish
