// The call frame of every module function: the C entry point, which enters
// attached, turns an error value or a panic into the pending exception and
// aborts the process on anything else that escapes.
#pragma once

#if __has_include(<cxxabi.h>)  // libstdc++'s forced unwind; MSVC has none
#include <cxxabi.h>
#endif

#include <exception>
#include <new>

#include "attach.h"
#include "error.h"

namespace quorlix {

//////////////////////
/// The panic trap ///
//////////////////////
// Aborts the process with its message; reached only when a panic escapes
// the frame's own handling.
[[noreturn]] void trap_abort(const char* message) noexcept;

// The trap's messages: each exact text is the module's documented behaviour.
inline constexpr const char* OUT_OF_MEMORY = "memory allocation failed";
inline constexpr const char* UNCAUGHT_PANIC = "uncaught panic at ffi boundary";

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
        trap_abort(OUT_OF_MEMORY);
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        trap_abort(UNCAUGHT_PANIC);
    }
#else
    } catch (const Panic&) {
        trap_abort(UNCAUGHT_PANIC);
    } catch (const std::exception&) {
        trap_abort(UNCAUGHT_PANIC);
    }
#endif
}

///////////////////////
/// The entry point ///
///////////////////////
using FastcallBody = PyResult<PyObject*> (*)(PyObject* self, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames);

// The C entry point registered for a function (METH_FASTCALL | METH_KEYWORDS).
template <FastcallBody body>
PyObject* fastcall_with_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) QUORLIX_MAY_UNWIND {
    return trampoline([&] { return body(self, args, nargs, kwnames); });
}

// That entry point as a PyMethodDef takes it.
template <FastcallBody body>
constexpr PyCFunction entry() {
    return reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(&fastcall_with_keywords<body>));
}

}  // namespace quorlix
