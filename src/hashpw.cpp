// hashpw and checkpw: hashing a password under a setting, and checking it
// against a stored hash string.
#include <string>

#include "arguments.h"
#include "attach.h"
#include "bcrypt/bcrypt.h"
#include "bcrypt/setting.h"
#include "conversions.h"
#include "functions.h"
#include "references.h"
#include "signals.h"

namespace quorlix {

namespace {

constexpr std::string_view HASHPW_PARAMS[] = {"password", "salt"};
constexpr FunctionDescription HASHPW{"hashpw", HASHPW_PARAMS, 2};
constexpr std::string_view CHECKPW_PARAMS[] = {"password", "hashed_password"};
constexpr FunctionDescription CHECKPW{"checkpw", CHECKPW_PARAMS, 2};

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

/////////////////////
/// The functions ///
/////////////////////
// The shared operation of both functions: a new bytes object holding the
// hash string, in the version that the setting named.
PyResult<PyObject*> hashpw(Bytes password, Bytes setting) {
    if (password.size() > bcrypt::MAX_KEY_BYTES) {
        return Err{password_too_long()};
    }
    const auto parsed = bcrypt::parse_setting(
        std::string_view(reinterpret_cast<const char*>(setting.data()), setting.size()));
    if (!parsed) return Err{invalid_salt()};

    // Cost 8 takes about 12 ms here, and each step doubles it.
    const Length length = parsed->cost >= 8 ? Length::Long : Length::Brief;
    TRY_LET(auto hashed, run_interruptibly(length, [&](const Cancel& cancel) {
                return bcrypt::_hash_password(password, parsed->cost, parsed->salt, cancel);
            }));
    if (!hashed) return Err{invalid_salt()};

    const std::string text = hashed.value().format_for_version(parsed->version);
    PyObject* out = PyBytes_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
    if (out == nullptr) panic_after_error();
    return out;
}

PyResult<PyObject*> checkpw(Bytes password, Bytes hashed_password) {
    TRY_LET(PyObject* const hashed, hashpw(password, hashed_password));
    const Owned computed(hashed);
    TRY_LET(const Bytes mine, from_py_object_bound(computed.get()));
    const bool same =
        constant_time_eq(mine.data(), mine.size(), hashed_password.data(), hashed_password.size());
    PyObject* verdict = compat::bool_constant(same);
    _Py_IncRef(verdict);
    return verdict;
}

// Both functions take two byte strings: the password and a setting.
PyResult<PyObject*> call_with_two_bytes(const FunctionDescription& desc,
                                        PyResult<PyObject*> (*function)(Bytes, Bytes),
                                        PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    BoundArguments bound(desc);
    TRY_OK(bound.bind(args, nargs, kwnames));
    TRY_LET(const Bytes first, bound.extract(0, from_py_object_bound));
    TRY_LET(const Bytes second, bound.extract(1, from_py_object_bound));
    return function(first, second);
}

}  // namespace

PyResult<PyObject*> hashpw_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return call_with_two_bytes(HASHPW, hashpw, args, nargs, kwnames);
}

PyResult<PyObject*> checkpw_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return call_with_two_bytes(CHECKPW, checkpw, args, nargs, kwnames);
}

}  // namespace quorlix
