// The module's error value, panics at the interpreter boundary, reference
// ownership, the thread's attach count, once-only cells and detach.
#pragma once

#include "compat.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common.h"

namespace quorlix {

//////////////////////////
/// Attach bookkeeping ///
//////////////////////////
// Positive while this thread runs module code holding the interpreter lock,
// zero while detach() has released it.
extern thread_local int64_t ATTACH_COUNT;

// Whatever calls into the interpreter may be unwound by the thread's forced
// exit: CPython ends a daemon thread that takes the lock back during
// finalization with pthread_exit. So nothing on such a path is noexcept,
// and destructors that release references are noexcept(false).
#define QUORLIX_MAY_UNWIND noexcept(false)

void drop_deferred_references();

// Drops a strong reference now when attached, or queues it for the next
// thread that attaches.
void register_decref(PyObject* obj);

// What a thread needs to take the interpreter lock back.
struct Released {
    PyThreadState* ts;
    int64_t attach_count;
};

// Sets the attach count to 0 and releases the lock.
Released release_lock();

// Takes the lock back, restores the attach count and drops the references
// queued meanwhile.
void reacquire_lock(const Released& released) QUORLIX_MAY_UNWIND;

// Entered by every call frame.
struct Attached {
    Attached() {
        ATTACH_COUNT++;
        drop_deferred_references();
    }
    ~Attached() { ATTACH_COUNT--; }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;
};

//////////////////////////
/// Strong references ///
//////////////////////////
class Owned {
public:
    Owned() = default;
    explicit Owned(PyObject* steal) noexcept : p_(steal) {}
    static Owned borrow(PyObject* obj) noexcept {
        if (obj != nullptr) _Py_IncRef(obj);
        return Owned(obj);
    }
    Owned(Owned&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Owned& operator=(Owned&& o) {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Owned() QUORLIX_MAY_UNWIND { reset(); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() {
        if (p_ != nullptr) register_decref(std::exchange(p_, nullptr));
    }

private:
    PyObject* p_ = nullptr;
};

inline PyObject* type_object(PyObject* obj) noexcept {
    return reinterpret_cast<PyObject*>(Py_TYPE(obj));
}

inline bool has_type_flag(PyObject* obj, unsigned long flag) noexcept {
    return (PyType_GetFlags(Py_TYPE(obj)) & flag) != 0;
}

////////////////////////
/// The error value ///
////////////////////////
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

// The pending exception, if any. A PanicException coming back from Python
// code resumes the panic instead.
std::optional<PyErr> take();

// The pending exception, or SystemError when an interpreter call reported
// failure without setting one.
PyErr fetch();

// Drops the pending exception, if any, without resuming panics.
void drop_pending();

// For interpreter calls that must not fail: prints the exception, panics.
[[noreturn]] void panic_after_error();

// The PyErr for a caught panic.
PyErr from_panic_payload(const Panic& p);

// The PanicException class, created on first use.
PyObject* panic_exception_type();

// A new str; failing to make one is a panic.
PyObject* new_str(std::string_view text);

// str(obj) as UTF-8, with the fallbacks used in messages.
std::string python_format(PyObject* obj);
// A str object as UTF-8; lone surrogates become U+FFFD.
std::string to_string_lossy(PyObject* str);

/////////////////////////
/// Once-only cells ///
/////////////////////////
// Filled at most once per process. Waiting for another thread's initialiser
// happens without the interpreter lock, so the initialiser can always take it.
template <class T>
class OnceCell {
public:
    const T* get() const noexcept {
        return ready_.load(std::memory_order_acquire) ? &value_ : nullptr;
    }

    // init() -> PyResult<T>; it runs attached. A failed or panicking
    // initialiser leaves the cell empty for the next caller.
    template <class F>
    PyResult<const T*> init_once_cell_py_attached(F&& init) {
        if (const T* v = get()) return v;
        const Released released = release_lock();
        bool attached = false;
        auto reattach = [&]() {
            if (!attached) {
                attached = true;
                reacquire_lock(released);
            }
        };
        struct Reattach {
            decltype(reattach)& f;
            ~Reattach() QUORLIX_MAY_UNWIND { f(); }
        } guard{reattach};

        std::unique_lock lock(mutex_);
        if (const T* v = get()) return v;
        reattach();
        PyResult<T> r = init();
        if (!r) return Err{std::move(r).error()};
        value_ = std::move(r).value();
        ready_.store(true, std::memory_order_release);
        return &value_;
    }

private:
    std::atomic<bool> ready_{false};
    std::mutex mutex_;
    T value_{};
};

// An interned str made once per process.
PyObject* intern(OnceCell<PyObject*>& cell, std::string_view text);

//////////////
/// detach ///
//////////////
// Runs f with the interpreter lock released. f must not touch Python
// objects. The lock is taken back even when f panics.
template <class F>
auto detach(F&& f) -> decltype(f()) {
    struct Restore {
        Released released;
        ~Restore() QUORLIX_MAY_UNWIND { reacquire_lock(released); }
    } restore{release_lock()};
    return f();
}

}  // namespace quorlix
