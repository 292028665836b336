// The module's error value PyErr, the TRY_* macros that pass it on, the
// pending exception, panics at the interpreter boundary and rendering
// objects as text for messages.
#pragma once

#include "compat.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common.h"
#include "references.h"

namespace quorlix {

///////////////////////
/// The error value ///
///////////////////////
// Either lazy (a class and what to build the exception from, turned into
// Python objects only when raised) or a normalized exception object.
class PyErr {
public:
    using TypeFn = PyObject* (*)();

    static PyErr message(TypeFn type, std::string text) {
        return PyErr(Kind::Message, type, std::move(text), nullptr);
    }
    static PyErr value_error(std::string text) {
        return message(&value_error_type, std::move(text));
    }
    static PyErr type_error(std::string text) { return message(&type_error_type, std::move(text)); }
    static PyErr system_error(std::string text) {
        return message(&system_error_type, std::move(text));
    }
    static PyErr panic(std::string text) {
        return PyErr(Kind::Panic, nullptr, std::move(text), nullptr);
    }
    // "'<qualname of obj's type>' object cannot be converted to '<target>'",
    // rendered only when the exception is created.
    static PyErr downcast(PyObject* obj, const char* target) {
        PyObject* type = type_object(obj);
        _Py_IncRef(type);
        return PyErr(Kind::Downcast, nullptr, target, type);
    }
    // Takes ownership of an exception object.
    static PyErr normalized(PyObject* exc) {
        return PyErr(Kind::Normalized, nullptr, std::string(), exc);
    }

    PyErr(PyErr&& o) noexcept
        : kind_(o.kind_),
          type_(o.type_),
          text_(std::move(o.text_)),
          obj_(std::exchange(o.obj_, nullptr)) {}
    PyErr& operator=(PyErr&& o) {
        if (this != &o) {
            if (obj_ != nullptr) register_decref(obj_);
            kind_ = o.kind_;
            type_ = o.type_;
            text_ = std::move(o.text_);
            obj_ = std::exchange(o.obj_, nullptr);
        }
        return *this;
    }
    ~PyErr() QUORLIX_MAY_UNWIND {
        if (obj_ != nullptr) register_decref(obj_);
    }

    // Makes this the interpreter's pending exception.
    void restore() &&;
    // The exception object (borrowed from this value), created on first use.
    PyObject* make_normalized();

    // "PyErr { type: ..., value: ..., traceback: ... }" for panic messages.
    std::string debug();

private:
    enum class Kind : uint8_t { Message, Panic, Downcast, Normalized };

    PyErr(Kind kind, TypeFn type, std::string text, PyObject* obj)
        : kind_(kind), type_(type), text_(std::move(text)), obj_(obj) {}

    static PyObject* value_error_type() { return PyExc_ValueError; }
    static PyObject* type_error_type() { return PyExc_TypeError; }
    static PyObject* system_error_type() { return PyExc_SystemError; }

    Kind kind_;
    TypeFn type_;
    std::string text_;  // message, or the downcast target
    PyObject* obj_;     // downcast source type, or the exception
};

template <class T>
using PyResult = Result<T, PyErr>;

// TRY_LET(declaration, expr) returns the error of expr, a Result, from the
// enclosing function, or else initialises the declared variable with its
// value. It is a statement of its own:
//     TRY_LET(const Bytes password, from_py_object_bound(obj));
#define QUORLIX_CONCAT_(a, b) a##b
#define QUORLIX_CONCAT(a, b) QUORLIX_CONCAT_(a, b)
#define QUORLIX_TRY_TMP QUORLIX_CONCAT(quorlix_try_, __LINE__)
#define TRY_LET(declaration, ...)                                                    \
    auto QUORLIX_TRY_TMP = (__VA_ARGS__);                                            \
    if (!QUORLIX_TRY_TMP) return ::quorlix::Err{std::move(QUORLIX_TRY_TMP).error()}; \
    declaration = std::move(QUORLIX_TRY_TMP).value()
// TRY_OK(expr) returns the error of expr, a Result<void>, if it has one.
#define TRY_OK(...)                                                                \
    do {                                                                           \
        auto quorlix_try_ = (__VA_ARGS__);                                         \
        if (!quorlix_try_) return ::quorlix::Err{std::move(quorlix_try_).error()}; \
    } while (0)

/////////////////////////////
/// The pending exception ///
/////////////////////////////
// The pending exception, if any. A PanicException coming back from Python
// code resumes the panic instead.
std::optional<PyErr> take();

// The pending exception, or SystemError when an interpreter call reported
// failure without setting one.
PyErr fetch();

// Drops the pending exception, if any, without resuming panics.
void drop_pending();

//////////////
/// Panics ///
//////////////
// For interpreter calls that must not fail: prints the exception, panics.
[[noreturn]] void panic_after_error();

// The PyErr for a caught panic.
PyErr from_panic_payload(const Panic& p);

// The PanicException class, created on first use.
PyObject* panic_exception_type();

////////////////////////
/// Object rendering ///
////////////////////////
// A new str; failing to make one is a panic.
PyObject* new_str(std::string_view text);

// str(obj) as UTF-8, with the fallbacks used in messages.
std::string python_format(PyObject* obj);
// A str object as UTF-8; lone surrogates become U+FFFD.
std::string to_string_lossy(PyObject* str);

}  // namespace quorlix
