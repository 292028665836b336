#include "blowfish/blowfish.h"

#include <cstring>

#include "blowfish/tables.h"
#include "common.h"

namespace quorlix::blowfish {

namespace {

// Reads the next 4 bytes, most significant first, wrapping to byte 0 before
// any byte past the end: a word may straddle the end of the string. The
// cursor carries over from word to word. bytes must not be empty.
inline uint32_t read_word_cyclic(std::span<const uint8_t> bytes, size_t& cursor) noexcept {
    uint32_t w = 0;
    for (int i = 0; i < 4; i++) {
        if (cursor >= bytes.size()) cursor = 0;
        w = (w << 8) | bytes[cursor++];
    }
    return w;
}

void xor_key_into_p(Blowfish& st, std::span<const uint8_t> key) noexcept {
    size_t cursor = 0;
    for (uint32_t& w : st.p) w ^= read_word_cyclic(key, cursor);
}

void require_bytes(std::span<const uint8_t> bytes, const char* what) {
    if (bytes.empty()) panic(std::string(what) + " must hold at least one byte");
}

}  // namespace

Blowfish init_state() noexcept {
    Blowfish st;
    std::memcpy(st.s, INIT_S, sizeof st.s);
    std::memcpy(st.p, INIT_P, sizeof st.p);
    return st;
}

/////////////////////
/// Key schedules ///
/////////////////////
// Both steps run one chain of 521 encryptions, each starting from the block
// the one before produced, storing every result at once: P0..P17, then
// S0..S3 from index 0 upwards, so each encryption sees all earlier stores.
namespace {

template <class Premix>
[[gnu::always_inline]] inline Block fill_p(Blowfish& st, Block b, Premix premix) noexcept {
    for (size_t i = 0; i < 18; i += 2) {
        b = encrypt(st, premix(b));
        st.p[i] = b.l;
        st.p[i + 1] = b.r;
    }
    return b;
}

template <class Premix>
[[gnu::always_inline]] inline void fill_s(Blowfish& st, Block b, Premix premix) noexcept {
    for (auto& box : st.s) {
        for (size_t j = 0; j < 256; j += 2) {
            b = encrypt(st, premix(b));
            box[j] = b.l;
            box[j + 1] = b.r;
        }
    }
}

// fill_s without a premix, where P no longer changes. This is where bcrypt
// spends its time, so the seam between two encryptions is folded. The next
// block enters as (x15 ^ P17 ^ P0, x16 ^ P1), both halves whitened. Since
// x15 = (x13 ^ P15) ^ F(x14) and x16 = (x14 ^ P16) ^ F(x15), those are
// (x13 ^ P15 ^ P17 ^ P0) ^ F(x14) and (x14 ^ P16 ^ P1) ^ F(x15): each ready
// as soon as x15 and x16 themselves, one XOR earlier than by way of them.
// The next encryption then starts while the 16th half-round still runs.
void fill_s_chained(Blowfish& st, Block b) noexcept {
    const uint32_t* p = st.p;
    const uint32_t seam_l = p[15] ^ p[17] ^ p[0];
    const uint32_t seam_r = p[16] ^ p[1];
    uint32_t l = b.l ^ p[0];
    uint32_t r = b.r ^ p[1];
    for (auto& box : st.s) {
        for (size_t j = 0; j < 256; j += 2) {
            rounds_1_to_14(st, p, l, r);  // l = x14, r = x13
            const uint32_t f14 = round_f(st, l);
            const uint32_t x15 = whiten(r, p[15]) ^ f14;
            const uint32_t next_l = whiten(r, seam_l) ^ f14;
            const uint32_t f15 = round_f(st, x15);
            const uint32_t x16 = whiten(l, p[16]) ^ f15;
            const uint32_t next_r = whiten(l, seam_r) ^ f15;
            box[j] = x15 ^ p[17];
            box[j + 1] = x16;
            l = next_l;
            r = next_r;
        }
    }
}

Block unmixed(Block b) noexcept { return b; }

}  // namespace

void bc_expand_key(Blowfish& st, std::span<const uint8_t> key) {
    require_bytes(key, "key");
    xor_key_into_p(st, key);
    fill_s_chained(st, fill_p(st, Block{0, 0}, unmixed));
}

void salted_expand_key(Blowfish& st, std::span<const uint8_t> salt, std::span<const uint8_t> key) {
    require_bytes(salt, "salt");
    require_bytes(key, "key");
    xor_key_into_p(st, key);
    // One salt cursor runs through all 521 blocks: L takes the first word.
    size_t cursor = 0;
    auto premix = [&](Block b) {
        b.l ^= read_word_cyclic(salt, cursor);
        b.r ^= read_word_cyclic(salt, cursor);
        return b;
    };
    fill_s(st, fill_p(st, Block{0, 0}, premix), premix);
}

}  // namespace quorlix::blowfish
