// Blowfish's initial state and bcrypt's two key-schedule steps, for one
// state and for several in lockstep.
#include "blowfish/blowfish.h"

#include <cstring>
#include <utility>

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

bool asm_round() noexcept { return ASM_ROUND; }

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
// block enters as (x15 ^ P17 ^ P0, x16), its left half whitened. Since
// x15 = (x13 ^ P15) ^ F(x14), that is (x13 ^ P15 ^ P17 ^ P0) ^ F(x14):
// ready as soon as x15 itself, one XOR earlier than by way of it. The next
// encryption then starts while the 16th half-round still runs.
void fill_s_chained(Blowfish& st, Block b) noexcept {
    const uint32_t* s1 = opaque(st.s[1]);
    const uint32_t seam = st.p[15] ^ st.p[17] ^ st.p[0];
    uint32_t l = b.l ^ st.p[0];
    uint32_t r = b.r;
    for (auto& box : st.s) {
        for (size_t j = 0; j < 256; j += 2) {
            half_rounds<1, 14>(st, s1, l, r);  // l = x14, r = x13
            const auto [x15, f14] = half_round<15>(st, s1, r, l);
            const uint32_t x16 = half_round<16>(st, s1, l, x15).x;
            box[j] = x15 ^ st.p[17];
            box[j + 1] = x16;
            l = whiten(r, seam) ^ f14;
            r = x16;
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

namespace quorlix::blowfish {

///////////////////////////////////
/// Several states in lockstep ///
///////////////////////////////////
// The one-state steps with every half-round issued for all lanes before
// the next: lane k's chain only ever waits on its own loads, and the core
// runs the other lanes' work in those cycles. The seam folding of
// fill_s_chained is left out: with other chains in flight the XOR it saves
// is hidden anyway.
namespace {

// body(k) for k = 0 .. N-1, k a compile-time constant.
template <size_t N, class Body>
[[gnu::always_inline]] inline void for_lanes(Body&& body) {
    // Version 14 of clang-format splits a template lambda from its call.
    // clang-format off
    [&]<size_t... k>(std::index_sequence<k...>) QUORLIX_LAMBDA_ALWAYS_INLINE {
        (body(std::integral_constant<size_t, k>{}), ...);
    }(std::make_index_sequence<N>{});
    // clang-format on
}

// The lanes' blocks. Only ever indexed by constants, so they live in
// registers.
template <size_t N>
struct Halves {
    uint32_t l[N];
    uint32_t r[N];
};

// Where a lane's state is addressed from. With up to three lanes each has
// a register pointing at its S1, so the load of S1[b], which ends the
// longest path of the round, takes the quick base + index form as in the
// one-state round: two lanes are bound by the chains' latency, and that
// cycle shows. Four or more lanes would then leave too few registers for
// their halves and spill them; they share one base with a displacement per
// lane, and being bound by throughput they lose nothing to the slower
// form. Each choice was the quicker one measured (docs/benchmarks.md).
template <size_t N>
constexpr bool SHARED_BASE = N >= 4;
// movzbl from the high byte register takes c's index in one instruction,
// but only a, b, c and d have one. Two lanes keep all four halves there,
// which measured quicker; three or more take the index with a shift and a
// mask instead.
template <size_t N>
constexpr bool HIGH_BYTE = N <= 2;

// dst ^ P[I] ^ F(src) on lane K.
template <size_t N, size_t K, size_t I>
[[gnu::always_inline]] inline uint32_t lane_half_round(const States<N>& st, uint32_t dst,
                                                       uint32_t src) noexcept {
    const uint32_t* base = SHARED_BASE<N> ? st[0].s[1] : opaque(st[K].s[1]);
    constexpr ptrdiff_t at = SHARED_BASE<N> ? ptrdiff_t(K * sizeof(Blowfish)) : 0;
    return half_round<I, at, HIGH_BYTE<N>>(st[K], base, dst, src).x;
}

// Half-rounds I and I + 1 up to 16, of every lane.
template <size_t N, size_t I>
[[gnu::always_inline]] inline void half_rounds_from(const States<N>& st, Halves<N>& h) noexcept {
    for_lanes<N>([&](auto k) { h.r[k] = lane_half_round<N, k, I>(st, h.r[k], h.l[k]); });
    for_lanes<N>([&](auto k) { h.l[k] = lane_half_round<N, k, I + 1>(st, h.l[k], h.r[k]); });
    if constexpr (I + 2 < 17) half_rounds_from<N, I + 2>(st, h);
}

// One encryption of every lane's block.
template <size_t N>
[[gnu::always_inline]] inline void encrypt(const States<N>& st, Halves<N>& h) noexcept {
    for_lanes<N>([&](auto k) { h.l[k] ^= st[k].p[0]; });
    half_rounds_from<N, 1>(st, h);
    for_lanes<N>([&](auto k) {
        const uint32_t l = h.l[k];
        h.l[k] = h.r[k] ^ st[k].p[17];  // the closing exchange of the halves
        h.r[k] = l;
    });
}

template <size_t N, class Premix>
[[gnu::always_inline]] inline void fill_p(States<N>& st, Halves<N>& h, Premix premix) noexcept {
    for (size_t i = 0; i < 18; i += 2) {
        premix(h);
        encrypt(st, h);
        for_lanes<N>([&](auto k) {
            st[k].p[i] = h.l[k];
            st[k].p[i + 1] = h.r[k];
        });
    }
}

// fill_p then fill_s. Flattened, so that every lane lambda is inlined
// whatever the compiler's size limits: a call would put the halves in
// memory.
template <size_t N, class Premix>
[[gnu::flatten]] void fill_p_and_s(States<N>& st, Premix premix) noexcept {
    Halves<N> h{};
    fill_p(st, h, premix);
    for (size_t b = 0; b < 4; b++) {
        for (size_t j = 0; j < 256; j += 2) {
            premix(h);
            encrypt(st, h);
            for_lanes<N>([&](auto k) {
                st[k].s[b][j] = h.l[k];
                st[k].s[b][j + 1] = h.r[k];
            });
        }
    }
}

template <size_t N>
void require_lane_bytes(const Keys<N>& bytes, const char* what) {
    for (const auto& b : bytes) require_bytes(b, what);
}

}  // namespace

template <size_t N>
void bc_expand_key(States<N>& st, const Keys<N>& keys) {
    require_lane_bytes(keys, "key");
    for_lanes<N>([&](auto k) { xor_key_into_p(st[k], keys[k]); });
    fill_p_and_s(st, [](Halves<N>&) {});
}

template <size_t N>
void salted_expand_key(States<N>& st, const Keys<N>& salts, const Keys<N>& keys) {
    require_lane_bytes(salts, "salt");
    require_lane_bytes(keys, "key");
    for_lanes<N>([&](auto k) { xor_key_into_p(st[k], keys[k]); });
    size_t cursor[N] = {};
    auto premix = [&](Halves<N>& h) {
        for_lanes<N>([&](auto k) {
            h.l[k] ^= read_word_cyclic(salts[k], cursor[k]);
            h.r[k] ^= read_word_cyclic(salts[k], cursor[k]);
        });
    };
    fill_p_and_s(st, premix);
}

template void bc_expand_key<2>(States<2>&, const Keys<2>&);
template void salted_expand_key<2>(States<2>&, const Keys<2>&, const Keys<2>&);
template void bc_expand_key<3>(States<3>&, const Keys<3>&);
template void salted_expand_key<3>(States<3>&, const Keys<3>&, const Keys<3>&);
template void bc_expand_key<4>(States<4>&, const Keys<4>&);
template void salted_expand_key<4>(States<4>&, const Keys<4>&, const Keys<4>&);
template void bc_expand_key<5>(States<5>&, const Keys<5>&);
template void salted_expand_key<5>(States<5>&, const Keys<5>&, const Keys<5>&);
template void bc_expand_key<6>(States<6>&, const Keys<6>&);
template void salted_expand_key<6>(States<6>&, const Keys<6>&, const Keys<6>&);

}  // namespace quorlix::blowfish
