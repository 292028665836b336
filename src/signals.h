// Running a computation with the lock released while the program's signal
// handlers still run (Ctrl-C stops a long hash in the main thread).
#pragma once

#include <optional>
#include <type_traits>
#include <utility>

#include "attach.h"
#include "common.h"
#include "error.h"

namespace quorlix {

// Whether a computation may take long enough for a thread of its own to pay:
// about 40 microseconds to start and end one, against 10 milliseconds and
// more of work.
enum class Length : bool { Brief, Long };

namespace detail {

struct Work {
    void (*run)(void* context, const Cancel& cancel);
    void* context;
};

// run_interruptibly without the result's type.
PyResult<void> run_interruptibly(Length length, Work work);

}  // namespace detail

// Runs work(cancel) -> Result with the lock released and returns its result,
// unless one of the program's signal handlers raised: then the handler's
// exception, and work was stopped through cancel. The interpreter runs the
// handlers only in its main thread, and only when that thread holds the
// lock, so a thread that may be the main one takes the lock back now and
// then to let it: once a handler had been due for 50 ms at the latest.
// Nothing of the process's signal handling is read or changed.
//
// A Long computation in such a thread runs in a thread of its own, so that
// taking the lock back, which waits up to the interpreter's switch interval
// while other threads run Python code, costs it nothing. work must not
// touch Python objects; a panic in it reaches the caller.
template <class F>
auto run_interruptibly(Length length, F&& work)
    -> PyResult<std::invoke_result_t<F&, const Cancel&>> {
    using R = std::invoke_result_t<F&, const Cancel&>;
    std::optional<R> result;
    auto run = [&](const Cancel& cancel) { result.emplace(work(cancel)); };
    TRY_OK(detail::run_interruptibly(
        length,
        {[](void* c, const Cancel& cancel) { (*static_cast<decltype(run)*>(c))(cancel); }, &run}));
    if (!result) panic("assertion failed: a computation ended without a result");
    return std::move(*result);
}

}  // namespace quorlix
