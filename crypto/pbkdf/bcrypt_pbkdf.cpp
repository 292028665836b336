#include "pbkdf/bcrypt_pbkdf.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "blowfish/blowfish.h"

namespace quorlix::pbkdf {

namespace {

// "OxychromaticBlowfishSwatDynamite", four bytes to a word, first byte highest.
constexpr uint32_t MAGIC[8] = {0x4F787963, 0x68726F6D, 0x61746963, 0x426C6F77,
                               0x66697368, 0x53776174, 0x44796E61, 0x6D697465};

}  // namespace

std::string_view error_name(Error e) noexcept {
    switch (e) {
        case Error::InvalidParamLen: return "InvalidParamLen";
        case Error::InvalidRounds: return "InvalidRounds";
        case Error::InvalidOutputLen: return "InvalidOutputLen";
        case Error::InvalidMemoryLen: return "InvalidMemoryLen";
    }
    return "InvalidParamLen";  // not reached: every enumerator is handled above
}

/////////////
/// Bhash ///
/////////////
void Bhash::finalize_into(std::span<uint8_t, BLOCK_LEN> out) && noexcept {
    const sha512::Digest salt = hasher_.finalize();

    blowfish::Blowfish st = blowfish::init_state();
    blowfish::salted_expand_key(st, salt, key_);
    for (int i = 0; i < 64; i++) {
        blowfish::bc_expand_key(st, salt);
        blowfish::bc_expand_key(st, key_);
    }

    blowfish::Block w[4];
    for (int j = 0; j < 4; j++) w[j] = {MAGIC[2 * j], MAGIC[2 * j + 1]};
    for (int i = 0; i < 64; i++) {
        for (auto& b : w) b = blowfish::encrypt(st, b);
    }
    // Read most significant byte first above, written least significant first.
    for (int j = 0; j < 4; j++) {
        store32_le(out.data() + 8 * j, w[j].l);
        store32_le(out.data() + 8 * j + 4, w[j].r);
    }
}

////////////////////
/// bcrypt_pbkdf ///
////////////////////
Result<void, Error> bcrypt_pbkdf_with_memory(std::span<const uint8_t> password,
                                             std::span<const uint8_t> salt, uint32_t rounds,
                                             std::span<uint8_t> output,
                                             std::span<uint8_t> memory) noexcept {
    if (password.empty() || salt.empty()) return Err{Error::InvalidParamLen};
    if (rounds == 0) return Err{Error::InvalidRounds};
    const size_t n = output.size();
    if (n == 0 || n > MAX_OUTPUT_LEN) return Err{Error::InvalidOutputLen};
    const size_t stride = stride_for(n);
    if (memory.size() < BLOCK_LEN * stride) return Err{Error::InvalidMemoryLen};
    // The block counter is 32 bits; no caller comes near this.
    if ((memory.size() + BLOCK_LEN - 1) / BLOCK_LEN > UINT32_MAX) {
        panic("scratch memory holds more blocks than the 32-bit block counter can number");
    }

    const sha512::Digest password_digest = sha512::sha512_digest(password);
    Bhash prototype(password_digest);

    // PBKDF2: chunk k holds T(k+1), the XOR of `rounds` chained outputs.
    for (size_t at = 0, k = 0; at < memory.size(); at += BLOCK_LEN, k++) {
        const size_t len = std::min(BLOCK_LEN, memory.size() - at);
        uint8_t* chunk = memory.data() + at;
        uint8_t counter[4];
        store32_be(counter, uint32_t(k + 1));

        Bhash first = prototype;
        first.update(salt);
        first.update(counter);
        uint8_t u[BLOCK_LEN];
        std::move(first).finalize_into(u);
        std::memcpy(chunk, u, len);

        for (uint32_t r = 1; r < rounds; r++) {
            Bhash next = prototype;
            next.update(u);
            std::move(next).finalize_into(u);
            for (size_t i = 0; i < len; i++) chunk[i] ^= u[i];
        }
    }

    // Consecutive output bytes come from consecutive blocks.
    for (size_t i = 0; i < n; i++) output[i] = memory[(i % stride) * BLOCK_LEN + i / stride];
    return {};
}

Result<void, Error> bcrypt_pbkdf(std::span<const uint8_t> password, std::span<const uint8_t> salt,
                                 uint32_t rounds, std::span<uint8_t> output) {
    const size_t n = output.size();
    if (n <= STACK_MEMORY_LEN) {
        uint8_t memory[STACK_MEMORY_LEN] = {};
        return bcrypt_pbkdf_with_memory(password, salt, rounds, output,
                                        {memory, BLOCK_LEN * stride_for(n)});
    }
    // Oversized outputs are refused by the checks; don't allocate for them.
    const size_t len = n <= MAX_OUTPUT_LEN ? BLOCK_LEN * stride_for(n) : 0;
    std::vector<uint8_t> memory(len);
    return bcrypt_pbkdf_with_memory(password, salt, rounds, output, memory);
}

}  // namespace quorlix::pbkdf
