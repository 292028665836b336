// The operating system's part of stopping a long computation on a signal.
//
// While a computation in the interpreter's main thread watches, every signal
// that the interpreter has a Python handler for is still delivered to the
// interpreter as before, and then also raises a flag, which the computation
// polls without the lock. Nothing else of the process's signal handling
// changes.
#pragma once

#include <cstdint>

#include "error.h"

namespace quorlix::signal_watch {

// Before a computation in the interpreter's main thread, with the lock
// held: whether signals can be watched there. The first time, it may run
// Python handlers of signals that were pending, and their exception comes
// back as the error.
PyResult<bool> prepare();

// One computation's part in the watch.
struct Share {
    uint64_t generation = 0;
    bool counted = false;
};

// After prepare() said yes: counts the share in (again, in a child forked
// since) and routes the interpreter's delivery of signals through the flag. True when it routed
// a signal that was not routed before: the first time, or after a Python
// handler installed a handler of its own. In the interpreter's main thread,
// with the lock held.
bool route(Share& share);

// Counts the share out; the last one puts the interpreter's own delivery
// back. With the lock held.
void unroute(Share& share);

// The flag, raised once the interpreter has noted the signal.
bool arrived() noexcept;
void lower() noexcept;

// Changes in a forked child, where the thread that forked is the main one
// and no computation of the parent's goes on.
uint64_t generation() noexcept;

}  // namespace quorlix::signal_watch
