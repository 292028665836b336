// gensalt: a new bcrypt setting string around 16 random bytes.
#include <cstring>
#include <string>

#include "arguments.h"
#include "bcrypt/bcrypt.h"
#include "bcrypt/radix64.h"
#include "conversions.h"
#include "functions.h"
#include "os_random.h"
#include "references.h"

namespace quorlix {

namespace {

constexpr std::string_view GENSALT_PARAMS[] = {"rounds", "prefix"};
constexpr FunctionDescription GENSALT{"gensalt", GENSALT_PARAMS, 0};

static_assert(GENSALT_DEFAULT_ROUNDS >= bcrypt::MIN_COST &&
              GENSALT_DEFAULT_ROUNDS <= bcrypt::MAX_COST);
using bcrypt::SALT_BYTES;
constexpr size_t SETTING_LEN = 7 + radix64::encoded_len(SALT_BYTES);  // "$2b$12$" + salt

///////////////////////
/// Texts users see ///
///////////////////////
// Each exact text is the module's documented behaviour.
constexpr const char* BAD_PREFIX = "Supported prefixes are b'2a' or b'2b'";
constexpr const char* BAD_ROUNDS = "Invalid rounds";
constexpr const char* UNWRAP_FAILED = "called `Result::unwrap()` on an `Err` value: ";

// A generator failure is a broken invariant: the system promises bytes
// once it is seeded.
[[noreturn]] void random_failure(const RandomError& e) {
    std::string detail;
    switch (e.kind) {
        case RandomError::Kind::Os:
            detail = "Error { os_error: " + std::to_string(e.code) + ", description: \"" +
                     os_error_text(e.code) + "\" }";
            break;
        case RandomError::Kind::NoErrno:
            detail =
                "Error { internal_code: 65537, description: \"errno: did not return a positive "
                "value\" }";
            break;
        case RandomError::Kind::Unexpected:
            detail = "Error { internal_code: 65538, description: \"unexpected situation\" }";
            break;
    }
    panic(UNWRAP_FAILED + detail);
}

///////////////////
/// The setting ///
///////////////////
// Appends into a fixed buffer; running out of room is a broken invariant.
struct BoundedWriter {
    char* at;
    char* end;
    void put(std::string_view s) {
        if (s.size() > size_t(end - at)) panic(std::string(UNWRAP_FAILED) + "Error");
        std::memcpy(at, s.data(), s.size());
        at += s.size();
    }
};

PyResult<PyObject*> gensalt(uint16_t rounds, Bytes prefix) {
    const std::string_view p(reinterpret_cast<const char*>(prefix.data()), prefix.size());
    if (p != "2b" && p != "2a") return Err{PyErr::value_error(BAD_PREFIX)};
    if (rounds < bcrypt::MIN_COST || rounds > bcrypt::MAX_COST) {
        return Err{PyErr::value_error(BAD_ROUNDS)};
    }

    uint8_t salt[SALT_BYTES] = {};
    if (auto r = fill_random(salt); !r) random_failure(r.error());
    char encoded[radix64::encoded_len(SALT_BYTES)];
    radix64::encode_into(salt, encoded);

    Owned out(PyBytes_FromStringAndSize(nullptr, SETTING_LEN));
    if (!out) return Err{fetch()};
    char* buf = PyBytes_AsString(out.get());
    std::memset(buf, 0, SETTING_LEN);
    const char cost[2] = {char('0' + rounds / 10), char('0' + rounds % 10)};
    BoundedWriter w{buf, buf + SETTING_LEN};
    w.put("$");
    w.put(p);
    w.put("$");
    w.put({cost, 2});
    w.put("$");
    w.put({encoded, sizeof encoded});
    return out.release();
}

}  // namespace

PyResult<PyObject*> gensalt_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    BoundArguments bound(GENSALT);
    TRY_OK(bound.bind(args, nargs, kwnames));
    TRY_LET(const uint16_t rounds, bound.extract(0, extract_u16, GENSALT_DEFAULT_ROUNDS));
    Bytes prefix(reinterpret_cast<const uint8_t*>("2b"), 2);
    if (bound[1] != Py_None) {  // None asks for the default too
        TRY_LET(const Bytes given, bound.extract(1, from_py_object_bound, prefix));
        prefix = given;
    }
    return gensalt(rounds, prefix);
}

}  // namespace quorlix
