// What hashpw, checkpw and their batch forms share: checking a password
// and a setting, and what becomes of the computed hash.
#pragma once

#include <cstdint>

#include "bcrypt/bcrypt.h"
#include "bcrypt/setting.h"
#include "conversions.h"
#include "error.h"
#include "signals.h"

namespace quorlix {

struct HashInput {
    Bytes password;
    bcrypt::Setting setting;  // its cost in range
};

// Refuses a password over 72 bytes, then a malformed setting or one of a
// cost out of range, with hashpw's messages.
PyResult<HashInput> check_hash_input(Bytes password, Bytes setting);

// How long `work` hashes at that cost (2^cost key schedules each) take: cost
// 8 takes about 12 ms here.
inline Length hash_length(uint64_t work) {
    return work >= (1u << 8) ? Length::Long : Length::Brief;
}

// The hash string in the setting's version, as a new bytes object.
PyObject* hash_string(const bcrypt::HashParts& parts, bcrypt::Version version);

// checkpw's verdict: the rendered hash against the stored string, lengths
// first, then every byte without an early exit.
bool same_hash(const bcrypt::HashParts& parts, bcrypt::Version version, Bytes stored);

}  // namespace quorlix
