// Signal handling while a long computation runs detached in the main
// thread.
//
// The interpreter's own C handler only notes that a signal arrived; its
// Python handlers run when the main thread next runs Python code, which is
// after the hash. So the computation has to take the lock back and run
// them itself. Doing that on a timer would make the main thread wait for
// the lock every time while other threads run Python code (up to the
// interpreter's switch interval, 5 ms, each time) and take it from them.
// Instead the handlers installed for asynchronous signals are wrapped, for
// the length of the computation, in one that raises a flag and then calls
// the original; the computation takes the lock only when the flag is up.
// Wrapping costs some sixty sigaction calls, so it waits until the
// computation has run WATCH_AFTER, which most hashes never reach; at that
// point the handlers are run once, for the signals that came before.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#if defined(__linux__)
#include <sys/syscall.h>
#elif defined(__FreeBSD__) || defined(__OpenBSD__)
#include <pthread_np.h>
#elif defined(__APPLE__)
#include <pthread.h>
#endif

#include "signals.h"

namespace quorlix {

namespace {

constexpr auto WATCH_AFTER = std::chrono::milliseconds(50);

// The thread the process started with, where the interpreter runs its
// signal handlers.
bool is_main_thread() {
#if defined(__linux__)
    return syscall(SYS_gettid) == getpid();
#elif defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__APPLE__)
    return pthread_main_np() == 1;
#else
    return false;  // unknown: computations are not interrupted
#endif
}

/////////////////////////
/// Wrapped handlers ///
/////////////////////////
// Enough for every signal of Linux, the BSDs and macOS (FreeBSD's real-time
// signals end at 126).
constexpr int SIGNALS = 129;

// Raised by the wrapper; lowered by the computation before it runs the
// handlers, so a signal during that run raises it again.
std::atomic<bool> SIGNAL_ARRIVED{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// What each wrapped signal had before. Written only while the wrapper is
// not installed for that signal; read by the wrapper.
struct sigaction ORIGINAL[SIGNALS];
// The rest is touched by the main thread only.
bool WRAPPED[SIGNALS];
int WATCHERS = 0;  // computations that keep the wrappers installed

void on_signal(int sig, siginfo_t* info, void* context) {
    SIGNAL_ARRIVED.store(true, std::memory_order_relaxed);
    const struct sigaction& original = ORIGINAL[sig];
    if ((original.sa_flags & SA_SIGINFO) != 0) {
        original.sa_sigaction(sig, info, context);
    } else {
        original.sa_handler(sig);
    }
}

int signal_limit() {
#if defined(SIGRTMAX)
    return std::min(SIGRTMAX + 1, SIGNALS);
#else
    return std::min(NSIG, SIGNALS);
#endif
}

// Faults raised by the instruction that caused them are left to whatever
// handles them (faulthandler); SIGKILL and SIGSTOP cannot be caught.
bool is_asynchronous(int sig) {
    switch (sig) {
        case SIGSEGV:
        case SIGBUS:
        case SIGFPE:
        case SIGILL:
        case SIGTRAP:
        case SIGSYS:
        case SIGABRT:
        case SIGKILL:
        case SIGSTOP: return false;
        default: return true;
    }
}

bool is_ours(const struct sigaction& a) {
    return (a.sa_flags & SA_SIGINFO) != 0 && a.sa_sigaction == on_signal;
}

bool is_function(const struct sigaction& a) {
    if ((a.sa_flags & SA_SIGINFO) != 0) return a.sa_sigaction != nullptr;
    return a.sa_handler != SIG_DFL && a.sa_handler != SIG_IGN;
}

// Wraps every handler of an asynchronous signal that is not wrapped yet,
// keeping its mask and flags. True when it wrapped any: the first time, or
// when a Python handler has installed handlers of its own since.
bool wrap_handlers() {
    bool wrapped_any = false;
    for (int sig = 1; sig < signal_limit(); sig++) {
        struct sigaction current;
        if (!is_asynchronous(sig) || sigaction(sig, nullptr, &current) != 0) continue;
        if (is_ours(current) || !is_function(current)) continue;
        ORIGINAL[sig] = current;
        struct sigaction wrapper = current;
        wrapper.sa_sigaction = on_signal;
        wrapper.sa_flags |= SA_SIGINFO;
        if (sigaction(sig, &wrapper, nullptr) == 0) {
            WRAPPED[sig] = true;
            wrapped_any = true;
        }
    }
    return wrapped_any;
}

// Puts the originals back where the wrapper is still installed; a handler
// installed meanwhile stays.
void restore_handlers() {
    for (int sig = 1; sig < SIGNALS; sig++) {
        if (!WRAPPED[sig]) continue;
        WRAPPED[sig] = false;
        struct sigaction current;
        if (sigaction(sig, nullptr, &current) == 0 && is_ours(current)) {
            sigaction(sig, &ORIGINAL[sig], nullptr);
        }
    }
}

}  // namespace

/////////////////////
/// SignalCheck ///
/////////////////////
SignalCheck::SignalCheck()
    : attached_{PyThreadState_Get(), ATTACH_COUNT},
      watch_from_(std::chrono::steady_clock::now() + WATCH_AFTER) {
    if (is_main_thread()) cancel_ = {&SignalCheck::poll, this};
}

SignalCheck::~SignalCheck() {
    if (watching_ && --WATCHERS == 0) restore_handlers();
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
        WATCHERS++;
        return check.run_handlers();
    }
    if (!SIGNAL_ARRIVED.load(std::memory_order_relaxed)) return false;
    return check.run_handlers();
}

// Runs the interpreter's signal handlers with the lock taken back, and
// installs the wrappers first, so that no signal comes between the two
// unseen. A handler may install handlers of its own: then the wrappers go
// on again and the handlers run once more for what came meanwhile.
bool SignalCheck::run_handlers() {
    reacquire_lock(attached_);
    struct Detach {
        Released& attached;
        ~Detach() { attached = release_lock(); }
    } detach_again{attached_};
    SIGNAL_ARRIVED.store(false, std::memory_order_relaxed);
    wrap_handlers();
    do {
        if (PyErr_CheckSignals() != 0) {
            error_ = fetch();
            return true;
        }
    } while (wrap_handlers());
    return false;
}

}  // namespace quorlix
