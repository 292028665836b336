// The Blowfish block cipher (encrypting direction only) and the two
// key-schedule steps of bcrypt's expensive setup.
#pragma once

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

//////////////////
/// The cipher ///
//////////////////
// F(x) = ((S0[a] + S1[b]) ^ S2[c]) + S3[d], a being x's top byte. All four
// boxes sit at constant offsets from the state, so one base register serves.
[[gnu::always_inline]] inline uint32_t round_f(const Blowfish& st, uint32_t x) noexcept {
    return ((st.s[0][x >> 24] + st.s[1][(x >> 16) & 0xFF]) ^ st.s[2][(x >> 8) & 0xFF]) +
           st.s[3][x & 0xFF];
}

// Sixteen rounds, unrolled. Each half-round XORs the next P word into the
// half before F's result arrives, so only F and one XOR sit on the chain of
// dependent lookups. The block is passed by value: its words cannot alias
// the state, so nothing is reloaded after a store.
[[gnu::always_inline]] inline Block encrypt(const Blowfish& st, Block in) noexcept {
    const uint32_t* p = st.p;
    uint32_t l = in.l ^ p[0];
    uint32_t r = in.r;
    r = (r ^ p[1]) ^ round_f(st, l);
    l = (l ^ p[2]) ^ round_f(st, r);
    r = (r ^ p[3]) ^ round_f(st, l);
    l = (l ^ p[4]) ^ round_f(st, r);
    r = (r ^ p[5]) ^ round_f(st, l);
    l = (l ^ p[6]) ^ round_f(st, r);
    r = (r ^ p[7]) ^ round_f(st, l);
    l = (l ^ p[8]) ^ round_f(st, r);
    r = (r ^ p[9]) ^ round_f(st, l);
    l = (l ^ p[10]) ^ round_f(st, r);
    r = (r ^ p[11]) ^ round_f(st, l);
    l = (l ^ p[12]) ^ round_f(st, r);
    r = (r ^ p[13]) ^ round_f(st, l);
    l = (l ^ p[14]) ^ round_f(st, r);
    r = (r ^ p[15]) ^ round_f(st, l);
    l = (l ^ p[16]) ^ round_f(st, r);
    r ^= p[17];
    return {r, l};  // the closing exchange of the halves
}

}  // namespace quorlix::blowfish
