// Signal handling while a long computation runs detached in the main
// thread.
//
// The interpreter's own C handler only notes that a signal arrived; its
// Python handlers run when the main thread next runs Python code, which is
// after the hash. So the computation has to take the lock back and run
// them itself. Doing that on a timer would make the main thread wait for
// the lock every time while other threads run Python code (up to the
// interpreter's switch interval, 5 ms, each time) and take it from them.
// Instead the interpreter's delivery of signals raises a flag for the
// length of the computation (signal_watch.h), and the computation takes
// the lock only when the flag is up. Routing costs some sixty system
// calls, so it waits until the computation has run WATCH_AFTER, which most
// hashes never reach; at that point the handlers are run once, for the
// signals that came before.
#include "signals.h"

namespace quorlix {

namespace {

constexpr auto WATCH_AFTER = std::chrono::milliseconds(50);

//////////////////////
/// The main thread ///
//////////////////////
// The interpreter's main thread, where it runs signal handlers: not
// necessarily the process's first thread (an application may start the
// interpreter in another), and after a fork the thread that forked.
// Asked of the interpreter once per process, with the lock held.
struct MainThread {
    bool known = false;
    uint64_t generation = 0;
    unsigned long ident = 0;  // 0: not found, computations are not interrupted
};
MainThread MAIN;

unsigned long ask_main_thread() {
    // 3.13 and later say it directly; before, threading.main_thread() is the
    // thread that imported threading first, almost always the same one.
    Owned thread_module(PyImport_ImportModule("_thread"));
    if (!thread_module) return 0;
    Owned ident;
    if (Owned get(PyObject_GetAttrString(thread_module.get(), "_get_main_thread_ident")); get) {
        ident = Owned(PyObject_CallNoArgs(get.get()));
    } else {
        drop_pending();
        Owned threading(PyImport_ImportModule("threading"));
        if (!threading) return 0;
        Owned main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
        if (!main) return 0;
        ident = Owned(PyObject_GetAttrString(main.get(), "ident"));
    }
    if (!ident) return 0;
    return PyLong_AsUnsignedLong(ident.get());  // (unsigned long)-1 on failure: no thread has it
}

bool in_main_thread() {
    const uint64_t generation = signal_watch::generation();
    if (!MAIN.known || MAIN.generation != generation) {
        MAIN = {true, generation, ask_main_thread()};
        drop_pending();
    }
    return MAIN.ident != 0 && compat::thread_ident() == MAIN.ident;
}

}  // namespace

/////////////////////
/// SignalCheck ///
/////////////////////
SignalCheck::SignalCheck()
    : attached_{PyThreadState_Get(), ATTACH_COUNT},
      watch_from_(std::chrono::steady_clock::now() + WATCH_AFTER) {}

PyResult<void> SignalCheck::arm() {
    if (!in_main_thread()) return {};
    TRY_LET(const bool ready, signal_watch::prepare());
    if (ready) cancel_ = {&SignalCheck::poll, this};
    return {};
}

SignalCheck::~SignalCheck() {
    if (watching_) signal_watch::unroute(share_);
}

PyErr SignalCheck::take_error() {
    if (!error_) panic("assertion failed: a computation stopped without an exception");
    PyErr e = std::move(*error_);
    error_.reset();
    return e;
}

bool SignalCheck::poll(void* self) {
    auto& check = *static_cast<SignalCheck*>(self);
    if (check.error_) return true;
    if (!check.watching_) {
        if (std::chrono::steady_clock::now() < check.watch_from_) return false;
        check.watching_ = true;
        return check.run_handlers();
    }
    if (!signal_watch::arrived()) return false;
    return check.run_handlers();
}

// Runs the interpreter's signal handlers with the lock taken back, and
// routes the signals first, so that none comes between the two unseen. A
// handler may install handlers of its own: then those are routed too and
// the handlers run once more for what came meanwhile.
bool SignalCheck::run_handlers() {
    reacquire_lock(attached_);
    struct Detach {
        Released& attached;
        ~Detach() { attached = release_lock(); }
    } detach_again{attached_};
    signal_watch::lower();
    signal_watch::route(share_);
    do {
        if (compat::check_signals() != 0) {
            error_ = fetch();
            return true;
        }
    } while (signal_watch::route(share_));
    return false;
}

}  // namespace quorlix
