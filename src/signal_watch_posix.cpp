// Watching for signals on POSIX systems: the interpreter's C handler, and
// only it, is replaced while a computation watches.
//
// Python's signal module catches every signal that has a Python handler
// with one C handler of its own, which notes the signal for the main
// thread. While a computation watches, that handler is replaced, signal by
// signal, by one that calls it and then raises the flag. A handler that
// anyone else installed is left alone, even one that chains to the
// interpreter's; and the replacement calls the interpreter's handler, never
// a recorded "previous" one, so a handler that chains to the replacement
// (faulthandler.register(chain=True) while a computation watches) cannot
// lead back to itself.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>

#include "error.h"
#include "references.h"
#include "signal_watch.h"

namespace quorlix::signal_watch {

namespace {

// Enough for every signal of Linux, the BSDs and macOS (FreeBSD's real-time
// signals end at 126).
constexpr int SIGNALS = 129;

std::atomic<bool> ARRIVED{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// The interpreter's handler, as its signal module installs it. Learnt once,
// before the first replacement is installed; read by the replacement.
struct sigaction INTERPRETER;

// The rest is changed in the main thread with the lock held, and in a
// forked child, which has no other thread.
enum class Learnt : uint8_t { NotYet, Yes, Failed };
Learnt LEARNT = Learnt::NotYet;
struct sigaction ORIGINAL[SIGNALS];  // what each routed signal had
bool ROUTED[SIGNALS];
int SHARES = 0;
std::atomic<uint64_t> GENERATION{0};

bool takes_siginfo(const struct sigaction& a) { return (a.sa_flags & SA_SIGINFO) != 0; }

bool is_function(const struct sigaction& a) {
    if (takes_siginfo(a)) return a.sa_sigaction != nullptr;
    return a.sa_handler != SIG_DFL && a.sa_handler != SIG_IGN;
}

bool same_handler(const struct sigaction& a, const struct sigaction& b) {
    if (takes_siginfo(a) != takes_siginfo(b)) return false;
    return takes_siginfo(a) ? a.sa_sigaction == b.sa_sigaction : a.sa_handler == b.sa_handler;
}

// The interpreter notes the signal first, so that the computation, once it
// sees the flag, finds the signal noted.
void on_signal(int sig, siginfo_t* info, void* context) {
    if (takes_siginfo(INTERPRETER)) {
        INTERPRETER.sa_sigaction(sig, info, context);
    } else {
        INTERPRETER.sa_handler(sig);
    }
    ARRIVED.store(true, std::memory_order_release);
}

bool is_ours(const struct sigaction& a) { return takes_siginfo(a) && a.sa_sigaction == on_signal; }

int signal_limit() {
#if defined(SIGRTMAX)
    return std::min(SIGRTMAX + 1, SIGNALS);
#else
    return std::min(NSIG, SIGNALS);
#endif
}

/////////////////////////////////////
/// The interpreter's own handler ///
/////////////////////////////////////
// The interpreter does not export its handler. Its address is learnt by
// letting the signal module install it on a signal that nobody handles and
// putting back what was there: one the process ignores (Python ignores
// SIGXFSZ and SIGPIPE from start-up), or one whose default is to ignore it,
// so that a stray arrival in those microseconds changes nothing.
constexpr int PROBES[] = {SIGXFSZ, SIGPIPE, SIGURG, SIGWINCH};

PyObject* do_nothing(PyObject*, PyObject*) {
    _Py_IncRef(Py_None);
    return Py_None;
}
PyMethodDef DO_NOTHING = {"probe", do_nothing, METH_VARARGS, nullptr};

// Python's view of the signal agrees with the kernel's: both ignore it, or
// both take the default.
bool unhandled(PyObject* module, PyObject* handler, const struct sigaction& kernel) {
    if (is_function(kernel)) return false;
    const char* name = kernel.sa_handler == SIG_IGN ? "SIG_IGN" : "SIG_DFL";
    Owned expected(PyObject_GetAttrString(module, name));
    return expected && PyObject_RichCompareBool(handler, expected.get(), Py_EQ) == 1;
}

enum class Probe : uint8_t { Found, NotFound, Refused, Raised };

// A failed call of the signal module is either its refusal of this thread
// (ValueError: not the main thread, by its own reckoning) or the exception of
// a Python handler that it ran first.
Probe failed_call() {
    if (PyErr_ExceptionMatches(PyExc_ValueError) == 0) return Probe::Raised;
    drop_pending();
    return Probe::Refused;
}

Probe probe(PyObject* module, PyObject* install, PyObject* query, PyObject* handler, int sig) {
    struct sigaction before;
    if (sigaction(sig, nullptr, &before) != 0) return Probe::NotFound;
    Owned previous(PyObject_CallFunction(query, "i", sig));
    if (!previous) return Probe::Raised;
    if (!unhandled(module, previous.get(), before)) {
        drop_pending();
        return Probe::NotFound;
    }
    Owned installed(PyObject_CallFunction(install, "iO", sig, handler));
    if (!installed) return failed_call();
    struct sigaction during;
    const bool read = sigaction(sig, nullptr, &during) == 0;
    Owned restored(PyObject_CallFunction(install, "iO", sig, previous.get()));
    if (!restored) {
        sigaction(sig, &before, nullptr);  // at least the kernel's part
        return Probe::Raised;
    }
    if (!read || !is_function(during)) return Probe::NotFound;
    INTERPRETER = during;
    return Probe::Found;
}

Probe learn_interpreter_handler() {
    Owned module(PyImport_ImportModule("signal"));
    if (!module) return Probe::Raised;
    Owned install(PyObject_GetAttrString(module.get(), "signal"));
    if (!install) return Probe::Raised;
    Owned query(PyObject_GetAttrString(module.get(), "getsignal"));
    if (!query) return Probe::Raised;
    Owned handler(PyCMethod_New(&DO_NOTHING, nullptr, nullptr, nullptr));
    if (!handler) return Probe::Raised;
    for (int sig : PROBES) {
        const Probe p = probe(module.get(), install.get(), query.get(), handler.get(), sig);
        if (p != Probe::NotFound) return p;
    }
    return Probe::NotFound;
}

////////////////////////
/// Routing and back ///
////////////////////////
void restore() {
    for (int sig = 1; sig < SIGNALS; sig++) {
        if (!ROUTED[sig]) continue;
        ROUTED[sig] = false;
        struct sigaction current;
        // A handler installed over the replacement stays, and may go on
        // calling it: it delivers to the interpreter as before.
        if (sigaction(sig, nullptr, &current) == 0 && is_ours(current)) {
            sigaction(sig, &ORIGINAL[sig], nullptr);
        }
    }
}

// The child of a fork during a computation starts with the handlers its
// parent had before the routing, and without the parent's computations.
void after_fork_in_child() {
    restore();
    SHARES = 0;
    GENERATION.fetch_add(1, std::memory_order_relaxed);
    ARRIVED.store(false, std::memory_order_relaxed);
}

}  // namespace

PyResult<bool> prepare() {
    if (LEARNT != Learnt::NotYet) return LEARNT == Learnt::Yes;
    // Handlers already pending run here, before the signal module runs them
    // inside the probe, where their exception would pass for its own.
    if (compat::check_signals() != 0) return Err{fetch()};
    switch (learn_interpreter_handler()) {
        case Probe::Found:
            LEARNT = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0 ? Learnt::Yes
                                                                                : Learnt::Failed;
            break;
        case Probe::NotFound: LEARNT = Learnt::Failed; break;
        case Probe::Refused: return false;  // asked again in the next computation
        case Probe::Raised: return Err{fetch()};
    }
    return LEARNT == Learnt::Yes;
}

bool route(Share& share) {
    const uint64_t generation = GENERATION.load(std::memory_order_relaxed);
    if (!share.counted || share.generation != generation) {
        share = {generation, true};
        SHARES++;
    }
    if (LEARNT != Learnt::Yes) return false;
    bool routed = false;
    for (int sig = 1; sig < signal_limit(); sig++) {
        struct sigaction current;
        if (sigaction(sig, nullptr, &current) != 0 || !same_handler(current, INTERPRETER)) continue;
        ORIGINAL[sig] = current;
        ROUTED[sig] = true;
        struct sigaction replacement = current;
        replacement.sa_sigaction = on_signal;
        replacement.sa_flags |= SA_SIGINFO;
        if (sigaction(sig, &replacement, nullptr) == 0) routed = true;
    }
    return routed;
}

void unroute(Share& share) {
    if (!share.counted || share.generation != GENERATION.load(std::memory_order_relaxed)) return;
    share.counted = false;
    if (--SHARES == 0) restore();
}

bool arrived() noexcept { return ARRIVED.load(std::memory_order_acquire); }

void lower() noexcept { ARRIVED.store(false, std::memory_order_relaxed); }

uint64_t generation() noexcept { return GENERATION.load(std::memory_order_relaxed); }

}  // namespace quorlix::signal_watch
