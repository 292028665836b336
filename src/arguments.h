// Binding a call's positional and keyword arguments to a function's
// parameters, with the interpreter's own binding messages.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "error.h"
#include "references.h"

namespace quorlix {

////////////////////////
/// Argument binding ///
////////////////////////
struct FunctionDescription {
    std::string_view func_name;
    std::span<const std::string_view> params;  // positional-or-keyword, in order
    size_t required;                           // the first `required` are required
};

inline constexpr size_t MAX_PARAMS = 5;

// Binds a call's positional and keyword arguments to desc's parameters, or
// fails with the interpreter's binding TypeError. Fills slots[0 ..
// params.size()) with new references, or leaves them empty for parameters
// not given.
PyResult<void> extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames,
                                          std::span<Owned, MAX_PARAMS> slots);

// The error reported for a failed conversion of parameter `name`.
PyErr argument_extraction_error(std::string_view name, PyErr err);

// Converts one bound argument, naming the parameter on failure.
template <class T>
PyResult<T> extract_argument(PyObject* obj, std::string_view name,
                             PyResult<T> (*convert)(PyObject*)) {
    PyResult<T> r = convert(obj);
    if (!r) return Err{argument_extraction_error(name, std::move(r).error())};
    return r;
}

///////////////////////
/// Bound arguments ///
///////////////////////
// The arguments of one call, bound to the function's parameters. Each is
// held by a reference of its own until the call returns: the views made
// from them are read without the lock, and the caller's references may go
// meanwhile (another thread can replace a functools.partial's arguments,
// and so can a later argument's __index__).
class BoundArguments {
public:
    explicit BoundArguments(const FunctionDescription& desc) : desc_(desc) {}
    BoundArguments(const BoundArguments&) = delete;
    BoundArguments& operator=(const BoundArguments&) = delete;

    PyResult<void> bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return extract_arguments_fastcall(desc_, args, nargs, kwnames, slots_);
    }

    // The argument of parameter i, or nullptr when it was not given.
    PyObject* operator[](size_t i) const { return slots_[i].get(); }

    // Converts the argument of parameter i, naming the parameter on failure.
    template <class T>
    PyResult<T> extract(size_t i, PyResult<T> (*convert)(PyObject*)) const {
        return extract_argument(slots_[i].get(), desc_.params[i], convert);
    }

    // The same for an optional parameter, `fallback` when it was not given.
    template <class T>
    PyResult<T> extract(size_t i, PyResult<T> (*convert)(PyObject*), T fallback) const {
        if (!slots_[i]) return fallback;
        return extract(i, convert);
    }

private:
    const FunctionDescription& desc_;
    std::array<Owned, MAX_PARAMS> slots_;
};

}  // namespace quorlix
