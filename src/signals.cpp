// Signal handlers during a computation that runs with the lock released.
//
// The interpreter's C handler only notes a signal; the Python handler runs
// when the main thread next holds the lock and checks (PyErr_CheckSignals).
// So the thread that started the computation takes the lock back now and
// then to check, and stops the computation when a handler raises. Taking it
// back waits while another thread runs Python code, up to the switch
// interval (5 ms) each time: a long computation therefore runs in a thread
// of its own while the caller does the checking, and a brief one, which
// rarely lasts long enough to check at all, runs in the caller.
#include "signals.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "references.h"

namespace quorlix::detail {

namespace {

using Clock = std::chrono::steady_clock;

// A long computation's caller checks this often: Ctrl-C takes effect within
// that, plus one switch interval while other threads are busy.
constexpr auto HELPER_CHECK_EVERY = std::chrono::milliseconds(20);
// A brief computation checks from inside, at this interval: each check may
// wait for the lock, so only computations far longer than expected do.
constexpr auto INLINE_CHECK_EVERY = std::chrono::milliseconds(50);

////////////////
/// The lock ///
////////////////
// The lock released for a computation and taken back for checks. Marked
// attached before it is taken back: when the interpreter ends the thread
// inside that (a daemon thread at exit), the unwinding must not try again.
class Detached {
public:
    Detached() : released_(release_lock()) {}
    ~Detached() QUORLIX_MAY_UNWIND { attach(); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

    void attach() {
        if (attached_) return;
        attached_ = true;
        reacquire_lock(released_);
    }
    void detach() {
        released_ = release_lock();
        attached_ = false;
    }

private:
    Released released_;
    bool attached_ = false;
};

// Runs the handlers of signals that came; their exception, if one raised.
// Parallel callers are safe: the interpreter runs handlers in its main
// thread alone, and this module keeps no signal state of its own.
std::optional<PyErr> check(Detached& lock) {
    lock.attach();
    std::optional<PyErr> error;
    if (compat::check_signals() != 0) error = fetch();
    lock.detach();
    return error;
}

///////////////////////
/// The main thread ///
///////////////////////
// Whether the interpreter may run signal handlers in this thread: only the
// main thread of the main interpreter. 3.13 and later name that thread
// (what threading.main_thread() is built on, also after a fork); before,
// any thread may be it, and the checks are simply empty elsewhere. Nothing
// here runs Python code or imports anything: _thread is imported at
// start-up.
bool may_run_handlers() {
    if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) return false;
    if (compat::runtime_version() < 0x030D0000) return true;
    Owned name(PyUnicode_FromString("_thread"));
    Owned module(name ? PyImport_GetModule(name.get()) : nullptr);
    Owned get(module ? PyObject_GetAttrString(module.get(), "_get_main_thread_ident") : nullptr);
    Owned ident(get ? PyObject_CallNoArgs(get.get()) : nullptr);
    const unsigned long main = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return true;
    }
    return main == compat::thread_ident();
}

/////////////////////
/// In the caller ///
/////////////////////
struct Inline {
    Detached* lock;
    Clock::time_point next;
    std::optional<PyErr> error;

    static bool poll(void* self) {
        auto& w = *static_cast<Inline*>(self);
        if (w.error) return true;
        if (Clock::now() < w.next) return false;
        w.error = check(*w.lock);
        w.next = Clock::now() + INLINE_CHECK_EVERY;
        return w.error.has_value();
    }
};

PyResult<void> run_inline(Work work) {
    std::optional<PyErr> error;
    {
        Detached lock;
        Inline watch{&lock, Clock::now() + INLINE_CHECK_EVERY, std::nullopt};
        work.run(work.context, {&Inline::poll, &watch});
        error = std::move(watch.error);
    }
    if (error) return Err{std::move(*error)};
    return {};
}

///////////////////////////////
/// In a thread of its own ///
///////////////////////////////
struct Helper {
    explicit Helper(Work w) : work(w) {}

    // Each computation's own, on its caller's stack: shared only by these two
    // threads, through the atomic flag, the mutex and the join.
    Work work;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;           // guarded by mutex
    std::exception_ptr failure;  // a panic, read once done

    static bool poll(void* self) {
        return static_cast<Helper*>(self)->stop.load(std::memory_order_relaxed);
    }

    void main() noexcept {
        try {
            work.run(work.context, {&Helper::poll, this});
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard guard(mutex);
        done = true;
        cv.notify_one();
    }
};

// The helper is always stopped and joined before its state goes, however
// the caller leaves: the computation reads the caller's arguments.
struct Joined {
    Helper& helper;
    std::thread thread;
    ~Joined() {
        helper.stop.store(true, std::memory_order_relaxed);
        thread.join();
    }
};

// Empty when no thread could be started.
std::optional<PyResult<void>> run_in_helper(Work work) {
    Helper helper(work);
    std::thread thread;
    try {
        thread = std::thread([&helper] { helper.main(); });
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    std::optional<PyErr> error;
    {
        const Joined joined{helper, std::move(thread)};
        Detached lock;
        std::unique_lock guard(helper.mutex);
        while (!helper.cv.wait_for(guard, HELPER_CHECK_EVERY, [&] { return helper.done; })) {
            guard.unlock();
            error = check(lock);
            guard.lock();
            if (error) {
                helper.stop.store(true, std::memory_order_relaxed);
                helper.cv.wait(guard, [&] { return helper.done; });
            }
        }
    }
    if (helper.failure) std::rethrow_exception(helper.failure);
    if (error) return Err{std::move(*error)};
    return PyResult<void>{};
}

}  // namespace

PyResult<void> run_interruptibly(Length length, Work work) {
    if (length == Length::Long && !may_run_handlers()) {
        detach([&] { work.run(work.context, {}); });
        return {};
    }
    // A handler's exception due already is this call's.
    if (compat::check_signals() != 0) return Err{fetch()};
    std::optional<PyResult<void>> r;
    if (length == Length::Long) r = run_in_helper(work);
    if (!r) r = run_inline(work);
    if (!*r) return Err{std::move(*r).error()};
    // So is one that came at the end.
    if (compat::check_signals() != 0) return Err{fetch()};
    return {};
}

}  // namespace quorlix::detail
