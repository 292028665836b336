#include <string>

#include "bcrypt/bcrypt.h"
#include "bcrypt/setting.h"
#include "functions.h"

namespace quorlix {

namespace {

constexpr std::string_view HASHPW_PARAMS[] = {"password", "salt"};
constexpr FunctionDescription HASHPW{"hashpw", HASHPW_PARAMS, 2};
constexpr std::string_view CHECKPW_PARAMS[] = {"password", "hashed_password"};
constexpr FunctionDescription CHECKPW{"checkpw", CHECKPW_PARAMS, 2};

PyErr invalid_salt() { return PyErr::value_error("Invalid salt"); }

// The shared operation of both functions: a new bytes object holding the
// hash string, in the version that the setting named.
PyResult<PyObject*> hashpw(Bytes password, Bytes setting) {
    if (password.size() > bcrypt::MAX_KEY_BYTES) {
        return Err{PyErr::value_error(
            "password cannot be longer than 72 bytes, truncate manually if necessary (e.g. "
            "my_password[:72])")};
    }
    const auto parsed = bcrypt::parse_setting(
        std::string_view(reinterpret_cast<const char*>(setting.data()), setting.size()));
    if (!parsed) return Err{invalid_salt()};

    auto hashed =
        detach([&] { return bcrypt::_hash_password(password, parsed->cost, parsed->salt); });
    if (!hashed) return Err{invalid_salt()};

    const std::string text = hashed.value().format_for_version(parsed->version);
    PyObject* out = PyBytes_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
    if (out == nullptr) panic_after_error();
    return out;
}

PyResult<PyObject*> checkpw(Bytes password, Bytes hashed_password) {
    Owned computed(TRY(hashpw(password, hashed_password)));
    const Bytes mine = TRY(from_py_object_bound(computed.get()));
    const bool same =
        constant_time_eq(mine.data(), mine.size(), hashed_password.data(), hashed_password.size());
    PyObject* verdict = compat::bool_constant(same);
    _Py_IncRef(verdict);
    return verdict;
}

// Both functions take two byte strings: the password and a setting.
using TwoBytes = std::pair<Bytes, Bytes>;

PyResult<TwoBytes> bind_two_bytes(const FunctionDescription& desc, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2] = {};
    TRY_OK(extract_arguments_fastcall(desc, args, nargs, kwnames, slots));
    const Bytes first = TRY(extract_argument(slots[0], desc.params[0], from_py_object_bound));
    const Bytes second = TRY(extract_argument(slots[1], desc.params[1], from_py_object_bound));
    return TwoBytes{first, second};
}

}  // namespace

PyResult<PyObject*> hashpw_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    const auto [password, salt] = TRY(bind_two_bytes(HASHPW, args, nargs, kwnames));
    return hashpw(password, salt);
}

PyResult<PyObject*> checkpw_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    const auto [password, hashed] = TRY(bind_two_bytes(CHECKPW, args, nargs, kwnames));
    return checkpw(password, hashed);
}

}  // namespace quorlix
