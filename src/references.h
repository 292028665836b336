// Strong references to Python objects (Owned), their release, deferred while
// the thread is detached, and type queries on borrowed objects.
#pragma once

#include "compat.h"

#include <utility>

#include "attach.h"

namespace quorlix {

//////////////////////////////
/// Deferred release queue ///
//////////////////////////////
// Drops a strong reference now when attached, or queues it for the next
// thread that attaches.
void register_decref(PyObject* obj);

// Drops the queued references; runs attached.
void drop_deferred_references();

/////////////////////////
/// Strong references ///
/////////////////////////
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

////////////////////
/// Type queries ///
////////////////////
inline PyObject* type_object(PyObject* obj) noexcept {
    return reinterpret_cast<PyObject*>(Py_TYPE(obj));
}

inline bool has_type_flag(PyObject* obj, unsigned long flag) noexcept {
    return (PyType_GetFlags(Py_TYPE(obj)) & flag) != 0;
}

}  // namespace quorlix
