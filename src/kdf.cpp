// kdf: bcrypt_pbkdf key derivation, with its warning for few rounds.
#include <cstring>
#include <string>

#include "arguments.h"
#include "attach.h"
#include "conversions.h"
#include "functions.h"
#include "pbkdf/bcrypt_pbkdf.h"
#include "references.h"
#include "signals.h"

namespace quorlix {

namespace {

constexpr std::string_view KDF_PARAMS[] = {"password", "salt", "desired_key_bytes", "rounds",
                                           "ignore_few_rounds"};
constexpr FunctionDescription KDF{"kdf", KDF_PARAMS, 4};
static_assert(KDF_MAX_KEY_BYTES <= pbkdf::MAX_OUTPUT_LEN);

///////////////////////
/// Texts users see ///
///////////////////////
// Each exact text is the module's documented behaviour.
constexpr const char* EMPTY_INPUT = "password and salt must not be empty";
constexpr const char* BAD_ROUNDS = "rounds must be 1 or more";
constexpr const char* UNWRAP_FAILED = "called `Result::unwrap()` on an `Err` value: ";

std::string bad_key_length() {
    return "desired_key_bytes must be 1-" + std::to_string(KDF_MAX_KEY_BYTES);
}

std::string few_rounds_warning(uint32_t rounds) {
    return "Warning: quorlix.kdf() called with only " + std::to_string(rounds) +
           " round(s). This few is not secure: the parameter is linear, like PBKDF2.";
}

////////////////////
/// The function ///
////////////////////
PyResult<void> warn_few_rounds(uint32_t rounds) {
    const std::string message = few_rounds_warning(rounds);
    Owned category = Owned::borrow(PyExc_UserWarning);
    if (PyErr_WarnEx(category.get(), message.c_str(), 3) == -1) return Err{fetch()};
    return {};
}

// Each round of each 32-byte block takes about 3 ms here, and SHA-512
// digests the password once and the salt once for each block, at about a
// gigabyte a second.
Length kdf_length(Bytes password, Bytes salt, size_t key_bytes, uint32_t rounds) {
    constexpr uint64_t LONG_DIGEST = uint64_t(8) << 20;
    const uint64_t blocks = pbkdf::stride_for(key_bytes);
    const bool long_digest = password.size() >= LONG_DIGEST || salt.size() >= LONG_DIGEST / blocks;
    return blocks * rounds >= 4 || long_digest ? Length::Long : Length::Brief;
}

PyResult<PyObject*> kdf(Bytes password, Bytes salt, uint64_t desired_key_bytes, uint32_t rounds,
                        bool ignore_few_rounds) {
    if (password.empty() || salt.empty()) {
        return Err{PyErr::value_error(EMPTY_INPUT)};
    }
    if (desired_key_bytes == 0 || desired_key_bytes > KDF_MAX_KEY_BYTES) {
        return Err{PyErr::value_error(bad_key_length())};
    }
    if (rounds == 0) return Err{PyErr::value_error(BAD_ROUNDS)};
    // Warned while the lock is held: the warning machinery is Python code.
    if (rounds < KDF_FEW_ROUNDS && !ignore_few_rounds) TRY_OK(warn_few_rounds(rounds));

    const size_t n = size_t(desired_key_bytes);
    Owned out(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(n)));
    if (!out) return Err{fetch()};
    auto* key = reinterpret_cast<uint8_t*>(PyBytes_AsString(out.get()));
    std::memset(key, 0, n);

    TRY_LET(auto derived,
            run_interruptibly(kdf_length(password, salt, n, rounds), [&](const Cancel& cancel) {
                return pbkdf::bcrypt_pbkdf(password, salt, rounds, {key, n}, cancel);
            }));
    if (!derived) {
        panic(UNWRAP_FAILED + std::string(pbkdf::error_name(derived.error())));
    }
    return out.release();
}

}  // namespace

PyResult<PyObject*> kdf_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    BoundArguments bound(KDF);
    TRY_OK(bound.bind(args, nargs, kwnames));
    TRY_LET(const Bytes password, bound.extract(0, from_py_object_bound));
    TRY_LET(const Bytes salt, bound.extract(1, from_py_object_bound));
    TRY_LET(const uint64_t length, bound.extract(2, extract_u64));
    TRY_LET(const uint32_t rounds, bound.extract(3, extract_u32));
    TRY_LET(const bool ignore_few_rounds, bound.extract(4, extract_bool, false));
    return kdf(password, salt, length, rounds, ignore_few_rounds);
}

}  // namespace quorlix
