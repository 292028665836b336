// The bcrypt hash: preparing the key, the expensive setup, the 64-fold
// encryption of the magic text, and the parts of the hash string.
#include "bcrypt/bcrypt.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
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

// The magic text encrypted 64 times with the final state. The state is
// final, so the three blocks run side by side.
RawHash encrypt_magic(const blowfish::Blowfish& st) noexcept {
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

Err<BcryptError> cost_refused(uint32_t cost) {
    return Err{BcryptError{BcryptError::Kind::CostOutOfRange, cost}};
}

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
    return encrypt_magic(st);
}

Result<HashParts, BcryptError> _hash_password(std::span<const uint8_t> password, uint32_t cost,
                                              std::span<const uint8_t, SALT_BYTES> salt,
                                              const Cancel& cancel) {
    if (cost < MIN_COST || cost > MAX_COST) return cost_refused(cost);
    auto raw = [&] {
        KeyBuffer buf(password);
        return bcrypt(cost, salt, buf.key(), cancel);
    }();
    if (!raw) return Err{raw.error()};
    return hash_parts(cost, salt, raw.value());
}

HashParts hash_parts(uint32_t cost, std::span<const uint8_t, SALT_BYTES> salt, const RawHash& raw) {
    // The last raw byte is dropped: 23 bytes make 31 characters.
    return HashParts{cost, radix64::encode(salt), radix64::encode({raw.data(), RAW_BYTES - 1})};
}

///////////////////////////
/// Hashes in lockstep ///
///////////////////////////
namespace {

// A password's key as KeyBuffer holds it, in a buffer of the caller's.
struct LaneKey {
    uint8_t bytes[MAX_KEY_BYTES];

    std::span<const uint8_t> prepare(std::span<const uint8_t> password) noexcept {
        const size_t n = std::min(password.size(), MAX_KEY_BYTES);
        std::copy_n(password.begin(), n, bytes);
        if (n < MAX_KEY_BYTES) bytes[n] = 0;
        return {bytes, std::min(password.size() + 1, MAX_KEY_BYTES)};
    }
};

// bcrypt() for N items at once; false when cancel stopped it. The keys live
// on this frame, which wipes them however it is left, and the states are
// wiped unless the cost loop ran its course, as in bcrypt().
template <size_t N>
bool hash_group(const LaneInput* items, uint32_t cost, RawHash* out, const Cancel& cancel) {
    LaneKey lane_keys[N];
    const WipeOnExit wipe_keys(lane_keys);
    blowfish::Keys<N> keys, salts;
    for (size_t k = 0; k < N; k++) {
        keys[k] = lane_keys[k].prepare(items[k].password);
        salts[k] = items[k].salt;
    }
    if constexpr (N == 1) {
        auto raw = bcrypt(cost, items[0].salt, keys[0], cancel);
        if (raw) out[0] = raw.value();
        return raw.ok();
    } else {
        blowfish::States<N> st;
        WipeOnExit wipe_states(st);
        for (auto& s : st) s = blowfish::init_state();
        blowfish::salted_expand_key(st, salts, keys);
        for (uint64_t i = 0, rounds = uint64_t(1) << cost; i < rounds; i++) {
            if (cancel.requested()) return false;
            blowfish::bc_expand_key(st, keys);
            blowfish::bc_expand_key(st, salts);
        }
        wipe_states.disarm();
        for (size_t k = 0; k < N; k++) out[k] = encrypt_magic(st[k]);
        return true;
    }
}

using GroupFn = bool (*)(const LaneInput*, uint32_t, RawHash*, const Cancel&);

// GROUPS[n - 1] hashes a group of n.
template <size_t... n>
constexpr std::array<GroupFn, sizeof...(n)> groups_of(std::index_sequence<n...>) {
    return {&hash_group<n + 1>...};
}
constexpr auto GROUPS = groups_of(std::make_index_sequence<MAX_LANES>{});

}  // namespace

Result<void, BcryptError> hash_passwords_with_lanes(std::span<const LaneInput> items, uint32_t cost,
                                                    std::span<RawHash> out, size_t max_lanes,
                                                    const Cancel& cancel) {
    if (out.size() != items.size()) {
        panic("assertion failed: out.len() == items.len() (" + std::to_string(out.size()) +
              " != " + std::to_string(items.size()) + ")");
    }
    if (cost < MIN_COST || cost > MAX_COST) return cost_refused(cost);
    max_lanes = std::clamp<size_t>(max_lanes, 1, MAX_LANES);
    // As few groups as max_lanes allows, as even as can be: a short group
    // leaves the core partly idle, so 7 items in sixes go as 4 + 3.
    const size_t n = items.size();
    const size_t groups = (n + max_lanes - 1) / max_lanes;
    for (size_t first = 0, g = 0; g < groups; g++) {
        const size_t lanes = (n - first + (groups - g) - 1) / (groups - g);
        if (!GROUPS[lanes - 1](&items[first], cost, &out[first], cancel)) {
            wipe(out.data(), out.size_bytes());
            return Err{BcryptError{BcryptError::Kind::Interrupted, cost}};
        }
        first += lanes;
    }
    return {};
}

Result<void, BcryptError> hash_passwords(std::span<const LaneInput> items, uint32_t cost,
                                         std::span<RawHash> out, const Cancel& cancel) {
    return hash_passwords_with_lanes(items, cost, out, MAX_LANES, cancel);
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
