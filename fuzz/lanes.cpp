// hash_passwords at cost 4 on a batch decoded from the input, every lane
// held against the single hash of its own password and salt: bcrypt() on
// the key prepared here, the password and a NUL cut to 72 bytes. The
// grouping comes from the input too, so lanes of every width and position
// meet every password length.
#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "bcrypt/bcrypt.h"
#include "check.h"

using namespace quorlix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    const size_t count = 1 + in.byte() % (2 * bcrypt::MAX_LANES + 1);
    const size_t max_lanes = in.byte() % (bcrypt::MAX_LANES + 2);  // clamped: 0 and 7 too
    std::vector<std::span<const uint8_t>> passwords;
    std::vector<std::array<uint8_t, bcrypt::SALT_BYTES>> salts(count);
    for (size_t k = 0; k < count; k++) {
        for (uint8_t& b : salts[k]) b = in.byte();
        passwords.push_back(in.take(in.byte() % 80));  // past 72 bytes too
    }
    std::vector<bcrypt::LaneInput> items;
    for (size_t k = 0; k < count; k++) items.push_back({passwords[k], salts[k]});

    std::vector<bcrypt::RawHash> out(count);
    FUZZ_CHECK(bcrypt::hash_passwords_with_lanes(items, 4, out, max_lanes).ok());
    for (size_t k = 0; k < count; k++) {
        std::vector<uint8_t> key(passwords[k].begin(), passwords[k].end());
        key.push_back(0);
        key.resize(std::min(key.size(), bcrypt::MAX_KEY_BYTES));
        const auto want = bcrypt::bcrypt(4, salts[k], key);
        FUZZ_CHECK(want.ok());
        FUZZ_CHECK(out[k] == want.value());
    }
    return 0;
}
