// The call frame of every module function: attach bookkeeping, the panic
// trap, argument binding and the conversions to native values.
#pragma once

#if __has_include(<cxxabi.h>)  // libstdc++'s forced unwind; MSVC has none
#include <cxxabi.h>
#endif

#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <span>
#include <string_view>

#include "pyerr.h"

namespace quorlix {

/////////////////////
/// The panic trap ///
/////////////////////
// Aborts the process with its message; reached only when a panic escapes
// the frame's own handling.
[[noreturn]] void trap_abort(const char* message) noexcept;

// Runs body() -> PyResult<PyObject*> attached, and turns its error or panic
// into the pending exception.
//
// A thread ended by pthread_exit (CPython ends daemon threads that way at
// exit) unwinds through here where the C library unwinds on it (glibc,
// FreeBSD; musl and macOS do not), and the unwind must go on. libstdc++
// shows it to catch (...) as abi::__forced_unwind, which has no exception
// object, so binding the handler's reference is exempt from the null check.
// libc++abi shows it to catch (...) as a foreign exception that it cannot
// throw on again, so there the frame names what it catches instead, and the
// forced unwind only runs the destructors on its way.
#if defined(_MSC_VER) && !defined(__clang__)
#define QUORLIX_NO_NULL_CHECK  // MSVC has no such check to exempt from
#else
#define QUORLIX_NO_NULL_CHECK __attribute__((no_sanitize("null")))
#endif
template <class F>
QUORLIX_NO_NULL_CHECK PyObject* trampoline(F&& body) QUORLIX_MAY_UNWIND {
    try {
        Attached attached;
        try {
            PyResult<PyObject*> r = body();
            if (r) return r.value();
            std::move(r).error().restore();
        } catch (const Panic& p) {
            from_panic_payload(p).restore();
        }
        return nullptr;
    } catch (const std::bad_alloc&) {
        trap_abort("memory allocation failed");
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        trap_abort("uncaught panic at ffi boundary");
    }
#else
    } catch (const Panic&) {
        trap_abort("uncaught panic at ffi boundary");
    } catch (const std::exception&) {
        trap_abort("uncaught panic at ffi boundary");
    }
#endif
}

using FastcallBody = PyResult<PyObject*> (*)(PyObject* self, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames);

// The C entry point registered for a function (METH_FASTCALL | METH_KEYWORDS).
template <FastcallBody body>
PyObject* fastcall_with_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) QUORLIX_MAY_UNWIND {
    return trampoline([&] { return body(self, args, nargs, kwnames); });
}

////////////////////////
/// Argument binding ///
////////////////////////
struct FunctionDescription {
    std::string_view func_name;
    std::span<const std::string_view> params;  // positional-or-keyword, in order
    size_t required;                           // the first `required` are required
};

inline constexpr size_t MAX_PARAMS = 5;

// Fills slots[0 .. params.size()) with new references, or leaves them empty
// for parameters not given.
PyResult<void> extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames,
                                          std::span<Owned, MAX_PARAMS> slots);

// The error reported for a failed conversion of parameter `name`.
PyErr argument_extraction_error(std::string_view name, PyErr err);

///////////////////
/// Conversions ///
///////////////////
using Bytes = std::span<const uint8_t>;

PyResult<Bytes> from_py_object_bound(PyObject* obj);
PyResult<uint16_t> extract_u16(PyObject* obj);
PyResult<uint32_t> extract_u32(PyObject* obj);
PyResult<uint64_t> extract_u64(PyObject* obj);
PyResult<bool> extract_bool(PyObject* obj);

// Converts one bound argument, naming the parameter on failure.
template <class T>
PyResult<T> extract_argument(PyObject* obj, std::string_view name,
                             PyResult<T> (*convert)(PyObject*)) {
    PyResult<T> r = convert(obj);
    if (!r) return Err{argument_extraction_error(name, std::move(r).error())};
    return r;
}

/////////////////////////
/// Bound arguments ///
/////////////////////////
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
