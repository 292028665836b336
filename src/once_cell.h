// Once-only cells, filled at most once per process, and the interned names
// kept in them.
#pragma once

#include "compat.h"

#include <atomic>
#include <mutex>
#include <string_view>

#include "attach.h"
#include "error.h"

namespace quorlix {

///////////////////////
/// Once-only cells ///
///////////////////////
// Filled at most once per process. Waiting for another thread's initialiser
// happens without the interpreter lock, so the initialiser can always take it.
template <class T>
class OnceCell {
public:
    const T* get() const noexcept {
        return ready_.load(std::memory_order_acquire) ? &value_ : nullptr;
    }

    // The cell's value, filled first by init() -> PyResult<T> if it is empty.
    // init runs attached; a failed or panicking one leaves the cell empty for
    // the next caller.
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
    // Safe from parallel threads: value_ is written once, under mutex_, and
    // published by the release store of ready_ that get() acquires.
    std::atomic<bool> ready_{false};
    std::mutex mutex_;
    T value_{};
};

//////////////////////
/// Interned names ///
//////////////////////
// An interned str made once per process.
inline PyObject* intern(OnceCell<PyObject*>& cell, std::string_view text) {
    auto r = cell.init_once_cell_py_attached([text]() -> PyResult<PyObject*> {
        PyObject* s = new_str(text);
        PyUnicode_InternInPlace(&s);
        return s;
    });
    return *r.value();
}

}  // namespace quorlix
