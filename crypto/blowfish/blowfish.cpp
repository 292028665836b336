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
namespace {

// The chain of 521 encryptions both steps share: each starts from the block
// the one before produced, mixed by premix, and is stored at once, into
// P0..P17 and then S0..S3 from index 0 upwards, so every encryption sees
// all the stores before it.
template <class Premix>
[[gnu::always_inline]] inline void rekey_chain(Blowfish& st, Premix premix) noexcept {
    Block b{0, 0};
    for (size_t i = 0; i < 18; i += 2) {
        b = encrypt(st, premix(b));
        st.p[i] = b.l;
        st.p[i + 1] = b.r;
    }
    for (auto& box : st.s) {
        for (size_t j = 0; j < 256; j += 2) {
            b = encrypt(st, premix(b));
            box[j] = b.l;
            box[j + 1] = b.r;
        }
    }
}

}  // namespace

void bc_expand_key(Blowfish& st, std::span<const uint8_t> key) {
    require_bytes(key, "key");
    xor_key_into_p(st, key);
    rekey_chain(st, [](Block b) { return b; });
}

void salted_expand_key(Blowfish& st, std::span<const uint8_t> salt, std::span<const uint8_t> key) {
    require_bytes(salt, "salt");
    require_bytes(key, "key");
    xor_key_into_p(st, key);
    // One salt cursor runs through all 521 blocks: L takes the first word.
    size_t cursor = 0;
    rekey_chain(st, [&](Block b) {
        b.l ^= read_word_cyclic(salt, cursor);
        b.r ^= read_word_cyclic(salt, cursor);
        return b;
    });
}

}  // namespace quorlix::blowfish
