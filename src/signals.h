// Signals during a long computation that runs detached in the main thread.
#pragma once

#include <chrono>
#include <optional>

#include "attach.h"
#include "common.h"
#include "error.h"
#include "signal_watch.h"

namespace quorlix {

// Lets a long computation that runs detached in the main thread handle
// the process's signals (Ctrl-C) while it runs: once it has run for a
// while, its cancel() hook takes the lock back whenever a signal with a
// Python handler has arrived, and runs the interpreter's signal handlers.
// A handler that raises stops the computation, and take_error() gives its
// exception. In other threads, which do not run signal handlers, the hook
// is empty.
//
// Made, used and destroyed by one thread, holding the lock except while it
// polls from inside detach().
class SignalCheck {
public:
    SignalCheck();
    ~SignalCheck();
    SignalCheck(const SignalCheck&) = delete;
    SignalCheck& operator=(const SignalCheck&) = delete;

    // In the main thread, gets the hook ready. The first time in a process
    // it may run Python handlers of signals that were pending; their
    // exception comes back as the error.
    PyResult<void> arm();

    const Cancel& cancel() const { return cancel_; }

    // The exception that stopped the computation.
    PyErr take_error();

private:
    static bool poll(void* self);
    bool run_handlers();

    Cancel cancel_;
    Released attached_;  // how poll takes the lock back
    std::chrono::steady_clock::time_point watch_from_;
    signal_watch::Share share_;
    bool watching_ = false;
    std::optional<PyErr> error_;
};

}  // namespace quorlix
