// Signals during a long computation that runs detached: SignalCheck, which
// lives in signals.cpp.
#pragma once

#include "compat.h"

#include <chrono>
#include <optional>

#include "attach.h"
#include "common.h"
#include "error.h"

namespace quorlix {

////////////////////////////////////
/// Signals during a computation ///
////////////////////////////////////
// Lets a long computation that runs detached in the main thread handle
// the process's signals (Ctrl-C) while it runs: once it has run for a
// while, its cancel() hook takes the lock back whenever a signal has
// arrived and runs the interpreter's signal handlers. A handler that raises
// stops the computation, and take_error() gives its exception. In other
// threads, which do not run signal handlers, the hook is empty.
//
// Made, used and destroyed by one thread, holding the lock except while it
// polls from inside detach().
class SignalCheck {
public:
    SignalCheck();
    ~SignalCheck();
    SignalCheck(const SignalCheck&) = delete;
    SignalCheck& operator=(const SignalCheck&) = delete;

    const Cancel& cancel() const { return cancel_; }

    // The exception that stopped the computation.
    PyErr take_error();

private:
    static bool poll(void* self);
    bool run_handlers();

    Cancel cancel_;
    Released attached_;  // how poll takes the lock back
    std::chrono::steady_clock::time_point watch_from_;
    bool watching_ = false;
    std::optional<PyErr> error_;
};

}  // namespace quorlix
