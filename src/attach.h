// The thread's attach count, releasing and retaking the interpreter lock,
// and detach, which runs a computation with the lock released.
#pragma once

#include "compat.h"

#include <cstdint>

namespace quorlix {

// Whatever calls into the interpreter may be unwound by the thread's forced
// exit: CPython ends a daemon thread that takes the lock back during
// finalization with pthread_exit. So nothing on such a path is noexcept,
// and destructors that release references are noexcept(false).
#define QUORLIX_MAY_UNWIND noexcept(false)

//////////////////////////
/// Attach bookkeeping ///
//////////////////////////
// Positive while this thread runs module code holding the interpreter lock,
// zero while detach() has released it.
extern thread_local int64_t ATTACH_COUNT;

// Entered by every call frame; entering drops the references queued while
// no thread was attached.
struct Attached {
    Attached();
    ~Attached() { ATTACH_COUNT--; }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;
};

/////////////////////////////////
/// Releasing and retaking it ///
/////////////////////////////////
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
