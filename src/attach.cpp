// The attach count and the two halves of releasing the interpreter lock.
#include "attach.h"

#include <utility>

#include "references.h"

namespace quorlix {

// One per thread, so never shared: no thread reads another's.
thread_local int64_t ATTACH_COUNT = 0;

Attached::Attached() {
    ATTACH_COUNT++;
    drop_deferred_references();
}

Released release_lock() {
    const int64_t count = std::exchange(ATTACH_COUNT, 0);
    return {PyEval_SaveThread(), count};
}

void reacquire_lock(const Released& released) {
    PyEval_RestoreThread(released.ts);
    // The count is restored only once the lock is back: a thread that is
    // ended inside PyEval_RestoreThread must queue its releases.
    ATTACH_COUNT = released.attach_count;
    drop_deferred_references();
}

}  // namespace quorlix
