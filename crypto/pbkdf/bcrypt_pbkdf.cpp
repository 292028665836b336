// bcrypt_pbkdf: the Bhash pseudo-random function, and the PBKDF2 rounds
// whose blocks are spread over the output.
#include "pbkdf/bcrypt_pbkdf.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "blowfish/blowfish.h"

namespace quorlix::pbkdf {

namespace {

// "OxychromaticBlowfishSwatDynamite", four bytes to a word, first byte highest.
constexpr uint32_t MAGIC[8] = {0x4F787963, 0x68726F6D, 0x61746963, 0x426C6F77,
                               0x66697368, 0x53776174, 0x44796E61, 0x6D697465};

// N values from make(), each built in its place in the array: no temporary
// the size of a Blowfish state on the stack.
template <size_t N, class Make>
std::array<std::invoke_result_t<Make>, N> array_of(Make make) {
    // Version 14 of clang-format splits a template lambda from its call.
    // clang-format off
    return [&]<size_t... k>(std::index_sequence<k...>) {
        return std::array<std::invoke_result_t<Make>, N>{((void)k, make())...};
    }(std::make_index_sequence<N>{});
    // clang-format on
}

// Feeds bytes to a hasher in pieces, polling cancel between them: a salt or
// password of hundreds of megabytes takes seconds to digest. False when
// cancel stopped it.
constexpr size_t DIGEST_PIECE = size_t(1) << 18;

template <class Hasher>
bool update_in_pieces(Hasher& h, std::span<const uint8_t> bytes, const Cancel& cancel) {
    for (; bytes.size() > DIGEST_PIECE; bytes = bytes.subspan(DIGEST_PIECE)) {
        if (cancel.requested()) return false;
        h.update(bytes.first(DIGEST_PIECE));
    }
    h.update(bytes);
    return true;
}

}  // namespace

std::string_view error_name(Error e) noexcept {
    switch (e) {
        case Error::InvalidParamLen: return "InvalidParamLen";
        case Error::InvalidRounds: return "InvalidRounds";
        case Error::InvalidOutputLen: return "InvalidOutputLen";
        case Error::InvalidMemoryLen: return "InvalidMemoryLen";
        case Error::Interrupted: return "Interrupted";
    }
    return "InvalidParamLen";  // not reached: every enumerator is handled above
}

/////////////
/// Bhash ///
/////////////
namespace {

// Steps 2 to 4 of a Bhash output on a state holding the initial tables;
// false when cancel stopped it. One state with its digests, or States<N>
// with Keys<N>: the key schedules have an overload for each.
template <class State, class Key>
bool expand(State& st, const Key& salt, const Key& key, const Cancel& cancel) {
    blowfish::salted_expand_key(st, salt, key);
    for (int i = 0; i < 64; i++) {
        if (cancel.requested()) return false;
        blowfish::bc_expand_key(st, salt);
        blowfish::bc_expand_key(st, key);
    }
    return true;
}

// Encrypts the magic text 64 times with the keyed state into out.
void encrypt_magic(const blowfish::Blowfish& st, uint8_t* out) noexcept {
    blowfish::Block w[4];
    for (int j = 0; j < 4; j++) w[j] = {MAGIC[2 * j], MAGIC[2 * j + 1]};
    for (int i = 0; i < 64; i++) {
        for (auto& b : w) b = blowfish::encrypt(st, b);
    }
    // Read most significant byte first above, written least significant first.
    for (int j = 0; j < 4; j++) {
        store32_le(out + 8 * j, w[j].l);
        store32_le(out + 8 * j + 4, w[j].r);
    }
}

}  // namespace

Result<void, Error> Bhash::finalize_into(std::span<uint8_t, BLOCK_LEN> out,
                                         const Cancel& cancel) && {
    const WipeOnExit wipe_self(*this);
    sha512::Digest salt;
    const WipeOnExit wipe_salt(salt);
    hasher_.finalize_into(salt);
    blowfish::Blowfish st = blowfish::init_state();
    const WipeOnExit wipe_state(st);
    if (!expand(st, salt, key_, cancel)) return Err{Error::Interrupted};
    encrypt_magic(st, out.data());
    return {};
}

template <size_t N>
Result<void, Error> Bhash::finalize_lanes(std::array<Bhash, N>& hashes,
                                          uint8_t (&outs)[N][BLOCK_LEN], const Cancel& cancel) {
    if constexpr (N == 1) {
        return std::move(hashes[0]).finalize_into(outs[0], cancel);
    } else {
        const WipeOnExit wipe_hashes(hashes);
        sha512::Digest salts[N];
        const WipeOnExit wipe_salts(salts);
        blowfish::Keys<N> salt_spans, key_spans;
        for (size_t k = 0; k < N; k++) {
            hashes[k].hasher_.finalize_into(salts[k]);
            salt_spans[k] = salts[k];
            key_spans[k] = hashes[k].key_;
        }
        blowfish::States<N> st = array_of<N>(blowfish::init_state);
        const WipeOnExit wipe_states(st);
        if (!expand(st, salt_spans, key_spans, cancel)) return Err{Error::Interrupted};
        for (size_t k = 0; k < N; k++) encrypt_magic(st[k], outs[k]);
        return {};
    }
}

template Result<void, Error> Bhash::finalize_lanes<1>(std::array<Bhash, 1>&,
                                                      uint8_t (&)[1][BLOCK_LEN], const Cancel&);
template Result<void, Error> Bhash::finalize_lanes<2>(std::array<Bhash, 2>&,
                                                      uint8_t (&)[2][BLOCK_LEN], const Cancel&);
template Result<void, Error> Bhash::finalize_lanes<3>(std::array<Bhash, 3>&,
                                                      uint8_t (&)[3][BLOCK_LEN], const Cancel&);
template Result<void, Error> Bhash::finalize_lanes<4>(std::array<Bhash, 4>&,
                                                      uint8_t (&)[4][BLOCK_LEN], const Cancel&);

////////////////////
/// bcrypt_pbkdf ///
////////////////////
namespace {

// PBKDF2 for the N chunks that start at chunk `first`: chunk k holds T(k+1),
// the XOR of `rounds` chained outputs. The chunks are independent, so their
// chains advance together.
template <size_t N>
Result<void, Error> fill_chunks(const Bhash& prototype, std::span<const uint8_t> salt,
                                uint32_t rounds, std::span<uint8_t> memory, size_t first,
                                const Cancel& cancel) {
    std::span<uint8_t> chunk[N];
    for (size_t k = 0; k < N; k++) {
        const size_t at = (first + k) * BLOCK_LEN;
        chunk[k] = memory.subspan(at, std::min(BLOCK_LEN, memory.size() - at));
    }

    uint8_t u[N][BLOCK_LEN];
    const WipeOnExit wipe_u(u);
    auto h = array_of<N>([&] { return prototype; });  // each finalize_lanes wipes them
    const WipeOnExit wipe_h(h);                       // as does an interruption before
    for (size_t k = 0; k < N; k++) {
        uint8_t counter[4];
        store32_be(counter, uint32_t(first + k + 1));
        if (!update_in_pieces(h[k], salt, cancel)) return Err{Error::Interrupted};
        h[k].update(counter);
    }
    if (auto r = Bhash::finalize_lanes(h, u, cancel); !r) return r;
    for (size_t k = 0; k < N; k++) std::memcpy(chunk[k].data(), u[k], chunk[k].size());

    for (uint32_t r = 1; r < rounds; r++) {
        h.fill(prototype);  // in place: a temporary would keep a copy of the key
        for (size_t k = 0; k < N; k++) h[k].update(u[k]);
        if (auto done = Bhash::finalize_lanes(h, u, cancel); !done) return done;
        for (size_t k = 0; k < N; k++) {
            for (size_t i = 0; i < chunk[k].size(); i++) chunk[k][i] ^= u[k][i];
        }
    }
    return {};
}

}  // namespace

Result<void, Error> bcrypt_pbkdf_with_lanes(std::span<const uint8_t> password,
                                            std::span<const uint8_t> salt, uint32_t rounds,
                                            std::span<uint8_t> output, std::span<uint8_t> memory,
                                            size_t max_lanes, const Cancel& cancel) {
    if (password.empty() || salt.empty()) return Err{Error::InvalidParamLen};
    if (rounds == 0) return Err{Error::InvalidRounds};
    const size_t n = output.size();
    if (n == 0 || n > MAX_OUTPUT_LEN) return Err{Error::InvalidOutputLen};
    const size_t stride = stride_for(n);
    if (memory.size() < BLOCK_LEN * stride) return Err{Error::InvalidMemoryLen};
    // The block counter is 32 bits; no caller comes near this.
    const size_t chunks = (memory.size() + BLOCK_LEN - 1) / BLOCK_LEN;
    if (chunks > UINT32_MAX) {
        panic("scratch memory holds more blocks than the 32-bit block counter can number");
    }
    max_lanes = std::clamp<size_t>(max_lanes, 1, MAX_LANES);

    // Unless all goes well, the blocks are partial key material.
    WipeOnExit wipe_memory(memory.data(), memory.size());
    sha512::Digest password_digest;
    const WipeOnExit wipe_digest(password_digest);
    {
        sha512::Sha512Hasher hasher;
        const WipeOnExit wipe_hasher(hasher);
        if (!update_in_pieces(hasher, password, cancel)) return Err{Error::Interrupted};
        hasher.finalize_into(password_digest);
    }
    Bhash prototype(password_digest);
    const WipeOnExit wipe_prototype(prototype);

    // As few groups as max_lanes allows, as even as can be: a lone block
    // leaves the core mostly idle, so 5 blocks go as 3 + 2, not 4 + 1.
    const size_t groups = (chunks + max_lanes - 1) / max_lanes;
    for (size_t first = 0, g = 0; g < groups; g++) {
        const size_t lanes = (chunks - first + (groups - g) - 1) / (groups - g);
        Result<void, Error> r;
        switch (lanes) {
            case 1: r = fill_chunks<1>(prototype, salt, rounds, memory, first, cancel); break;
            case 2: r = fill_chunks<2>(prototype, salt, rounds, memory, first, cancel); break;
            case 3: r = fill_chunks<3>(prototype, salt, rounds, memory, first, cancel); break;
            default: r = fill_chunks<4>(prototype, salt, rounds, memory, first, cancel); break;
        }
        if (!r) return r;
        first += lanes;
    }
    wipe_memory.disarm();

    // Consecutive output bytes come from consecutive blocks.
    for (size_t i = 0; i < n; i++) output[i] = memory[(i % stride) * BLOCK_LEN + i / stride];
    return {};
}

Result<void, Error> bcrypt_pbkdf_with_memory(std::span<const uint8_t> password,
                                             std::span<const uint8_t> salt, uint32_t rounds,
                                             std::span<uint8_t> output, std::span<uint8_t> memory,
                                             const Cancel& cancel) {
    return bcrypt_pbkdf_with_lanes(password, salt, rounds, output, memory, MAX_LANES, cancel);
}

Result<void, Error> bcrypt_pbkdf(std::span<const uint8_t> password, std::span<const uint8_t> salt,
                                 uint32_t rounds, std::span<uint8_t> output, const Cancel& cancel) {
    const size_t n = output.size();
    if (n <= STACK_MEMORY_LEN) {
        uint8_t memory[STACK_MEMORY_LEN] = {};
        const WipeOnExit wipe_memory(memory);
        return bcrypt_pbkdf_with_memory(password, salt, rounds, output,
                                        {memory, BLOCK_LEN * stride_for(n)}, cancel);
    }
    // Oversized outputs are refused by the checks; don't allocate for them.
    const size_t len = n <= MAX_OUTPUT_LEN ? BLOCK_LEN * stride_for(n) : 0;
    std::vector<uint8_t> memory(len);
    const WipeOnExit wipe_memory(memory.data(), memory.size());
    return bcrypt_pbkdf_with_memory(password, salt, rounds, output, memory, cancel);
}

}  // namespace quorlix::pbkdf
