// hashpw and checkpw: hashing a password under a setting, and checking it
// against a stored hash string.
#include <string>

#include "arguments.h"
#include "functions.h"
#include "hashing.h"
#include "references.h"

namespace quorlix {

namespace {

constexpr std::string_view HASHPW_PARAMS[] = {"password", "salt"};
constexpr FunctionDescription HASHPW{"hashpw", HASHPW_PARAMS, 2};
constexpr std::string_view CHECKPW_PARAMS[] = {"password", "hashed_password"};
constexpr FunctionDescription CHECKPW{"checkpw", CHECKPW_PARAMS, 2};

/////////////////////
/// The functions ///
/////////////////////
// The shared operation of both functions: the hash under the setting.
PyResult<bcrypt::HashParts> hash(const HashInput& in) {
    const bcrypt::Setting& s = in.setting;
    TRY_LET(auto hashed,
            run_interruptibly(hash_length(uint64_t(1) << s.cost), [&](const Cancel& c) {
                return bcrypt::_hash_password(in.password, s.cost, s.salt, c);
            }));
    if (!hashed) panic("assertion failed: the cost was checked before hashing");
    return std::move(hashed).value();
}

PyResult<PyObject*> hashpw(Bytes password, Bytes setting) {
    TRY_LET(const HashInput in, check_hash_input(password, setting));
    TRY_LET(const bcrypt::HashParts parts, hash(in));
    return hash_string(parts, in.setting.version);
}

PyResult<PyObject*> checkpw(Bytes password, Bytes hashed_password) {
    TRY_LET(const HashInput in, check_hash_input(password, hashed_password));
    TRY_LET(const bcrypt::HashParts parts, hash(in));
    PyObject* verdict =
        compat::bool_constant(same_hash(parts, in.setting.version, hashed_password));
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
