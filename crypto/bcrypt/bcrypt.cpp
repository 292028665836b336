// The bcrypt hash: preparing the key, the expensive setup, the 64-fold
// encryption of the magic text, and the parts of the hash string.
#include "bcrypt/bcrypt.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "bcrypt/radix64.h"
#include "blowfish/blowfish.h"

namespace quorlix::bcrypt {

using blowfish::Block;

namespace {

// "OrpheanBeholderScryDoubt", four bytes to a word, first byte highest.
constexpr uint32_t MAGIC[6] = {0x4F727068, 0x65616E42, 0x65686F6C,
                               0x64657253, 0x63727944, 0x6F756274};

// The caller's copy of the password, cleared however it is left.
class KeyBuffer {
public:
    explicit KeyBuffer(std::span<const uint8_t> password) : bytes_(password.size() + 1, 0) {
        std::copy(password.begin(), password.end(), bytes_.begin());
    }
    ~KeyBuffer() { wipe(bytes_.data(), bytes_.size()); }
    KeyBuffer(const KeyBuffer&) = delete;
    KeyBuffer& operator=(const KeyBuffer&) = delete;

    // The password and its NUL, or its first MAX_KEY_BYTES when that is
    // shorter.
    std::span<const uint8_t> key() const {
        return {bytes_.data(), std::min(bytes_.size(), MAX_KEY_BYTES)};
    }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace

std::string_view version_text(Version v) noexcept {
    switch (v) {
        case Version::V2a: return "2a";
        case Version::V2x: return "2x";
        case Version::V2y: return "2y";
        case Version::V2b: return "2b";
    }
    return "2b";  // not reached: every enumerator is handled above
}

//////////////
/// bcrypt ///
//////////////
Result<RawHash, BcryptError> bcrypt(uint32_t cost, std::span<const uint8_t, SALT_BYTES> salt,
                                    std::span<const uint8_t> key, const Cancel& cancel) {
    if (key.empty() || key.size() > MAX_KEY_BYTES) {
        panic("assertion failed: !password.is_empty() && password.len() <= " +
              std::to_string(MAX_KEY_BYTES));
    }
    if (cost > MAX_COST) panic("assertion failed: cost < " + std::to_string(MAX_COST + 1));

    blowfish::Blowfish st = blowfish::init_state();
    // A state keyed with fewer iterations than the cost asks for would let
    // password guesses be checked for less than the cost; once the loop
    // has run its course, the state tells no more than the hash it gives.
    WipeOnExit wipe_state(st);
    blowfish::salted_expand_key(st, salt, key);
    // 2^31 rounds at cost 31: the counter must be wider than 31 bits.
    for (uint64_t i = 0, rounds = uint64_t(1) << cost; i < rounds; i++) {
        if (cancel.requested()) return Err{BcryptError{BcryptError::Kind::Interrupted, cost}};
        blowfish::bc_expand_key(st, key);
        blowfish::bc_expand_key(st, salt);
    }
    wipe_state.disarm();

    // The state is final now, so the three blocks run side by side.
    Block b[3] = {{MAGIC[0], MAGIC[1]}, {MAGIC[2], MAGIC[3]}, {MAGIC[4], MAGIC[5]}};
    for (int i = 0; i < 64; i++) {
        for (Block& x : b) x = blowfish::encrypt(st, x);
    }
    RawHash raw;
    for (int k = 0; k < 3; k++) {
        store32_be(raw.data() + 8 * k, b[k].l);
        store32_be(raw.data() + 8 * k + 4, b[k].r);
    }
    return raw;
}

Result<HashParts, BcryptError> _hash_password(std::span<const uint8_t> password, uint32_t cost,
                                              std::span<const uint8_t, SALT_BYTES> salt,
                                              const Cancel& cancel) {
    if (cost < MIN_COST || cost > MAX_COST) {
        return Err{BcryptError{BcryptError::Kind::CostOutOfRange, cost}};
    }
    auto raw = [&] {
        KeyBuffer buf(password);
        return bcrypt(cost, salt, buf.key(), cancel);
    }();
    if (!raw) return Err{raw.error()};
    // The last raw byte is dropped: 23 bytes make 31 characters.
    return HashParts{cost, radix64::encode(salt),
                     radix64::encode({raw.value().data(), RAW_BYTES - 1})};
}

/////////////////////
/// Hash strings ///
/////////////////////
std::string HashParts::format_for_version(Version v) const {
    std::string out;
    out.reserve(60);
    out += '$';
    out += version_text(v);
    out += '$';
    if (cost < 10) out += '0';
    out += std::to_string(cost);
    out += '$';
    out += salt;
    out += hash;
    return out;
}

}  // namespace quorlix::bcrypt
