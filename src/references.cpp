// Releasing references: at once when attached, else through a queue that the
// next thread to attach drains.
#include "references.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace quorlix {

namespace {

struct ReferencePool {
    std::mutex mutex;
    std::vector<PyObject*> pending;
};

// Created at first use and never destroyed: threads may still queue
// references while the process exits. Safe from parallel threads: the
// first compare-and-swap publishes it, and its mutex guards the queue.
std::atomic<ReferencePool*> POOL{nullptr};

ReferencePool& pool() {
    ReferencePool* p = POOL.load(std::memory_order_acquire);
    if (p != nullptr) return *p;
    auto* fresh = new ReferencePool;
    if (POOL.compare_exchange_strong(p, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;
    return *p;
}

}  // namespace

void register_decref(PyObject* obj) {
    if (ATTACH_COUNT > 0) {
        _Py_DecRef(obj);
        return;
    }
    ReferencePool& p = pool();
    std::lock_guard lock(p.mutex);
    p.pending.push_back(obj);
}

void drop_deferred_references() {
    ReferencePool* p = POOL.load(std::memory_order_acquire);
    if (p == nullptr) return;
    std::vector<PyObject*> batch;
    {
        std::lock_guard lock(p->mutex);
        if (p->pending.empty()) return;
        batch.swap(p->pending);
    }
    for (PyObject* obj : batch) _Py_DecRef(obj);
}

}  // namespace quorlix
