// The checks and results that hashpw, checkpw and their batch forms share.
#include "hashing.h"

#include <string>

namespace quorlix {

namespace {

///////////////////////
/// Texts users see ///
///////////////////////
// Each exact text is the module's documented behaviour.
PyErr invalid_salt() { return PyErr::value_error("Invalid salt"); }

PyErr password_too_long() {
    const std::string limit = std::to_string(bcrypt::MAX_KEY_BYTES);
    return PyErr::value_error("password cannot be longer than " + limit +
                              " bytes, truncate manually if necessary (e.g. my_password[:" + limit +
                              "])");
}

}  // namespace

/////////////////////
/// Shared checks ///
/////////////////////
PyResult<HashInput> check_hash_input(Bytes password, Bytes setting) {
    if (password.size() > bcrypt::MAX_KEY_BYTES) {
        return Err{password_too_long()};
    }
    const auto parsed = bcrypt::parse_setting(
        std::string_view(reinterpret_cast<const char*>(setting.data()), setting.size()));
    if (!parsed || parsed->cost < bcrypt::MIN_COST || parsed->cost > bcrypt::MAX_COST) {
        return Err{invalid_salt()};
    }
    return HashInput{password, *parsed};
}

PyObject* hash_string(const bcrypt::HashParts& parts, bcrypt::Version version) {
    const std::string text = parts.format_for_version(version);
    PyObject* out = PyBytes_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
    if (out == nullptr) panic_after_error();
    return out;
}

bool same_hash(const bcrypt::HashParts& parts, bcrypt::Version version, Bytes stored) {
    const std::string mine = parts.format_for_version(version);
    return constant_time_eq(reinterpret_cast<const uint8_t*>(mine.data()), mine.size(),
                            stored.data(), stored.size());
}

}  // namespace quorlix
