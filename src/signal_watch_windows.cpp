// Watching for signals on Windows, where the only asynchronous ones are
// Ctrl-C and Ctrl-Break at a console.
//
// The C runtime turns them into SIGINT and SIGBREAK from a console control
// handler that Windows calls in a thread of its own; the interpreter's C
// handler, installed with signal(), notes the signal there. While a
// computation watches, a console control handler of the module's own goes
// first (Windows calls the last one added first). For an event whose signal
// has a Python handler, it notes the signal for the interpreter itself,
// then raises the flag, and the event ends there; for any other event, or
// a signal that Python ignores or leaves to the default, it steps aside
// and the C runtime does what it always does. Noting the signal before the
// flag goes up means that the computation, once it sees the flag, finds
// the signal noted: left to the C runtime, the delivery would come after.
#define NOMINMAX 1  // std::min and std::max, not macros; as libstdc++ has it
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>
#include <csignal>
#include <utility>

#include "error.h"
#include "references.h"
#include "signal_watch.h"

namespace quorlix::signal_watch {

namespace {

std::atomic<bool> ARRIVED{false};

// Whether Python has a handler of its own for SIGINT and SIGBREAK: read by
// the control handler's thread, set in the main thread with the lock held.
std::atomic<bool> PYTHON_HANDLES_SIGINT{false};
std::atomic<bool> PYTHON_HANDLES_SIGBREAK{false};

// The rest is changed in the main thread with the lock held.
bool INSTALLED = false;
int SHARES = 0;

BOOL WINAPI on_console_event(DWORD event) {
    int sig;
    if (event == CTRL_C_EVENT && PYTHON_HANDLES_SIGINT.load()) {
        sig = SIGINT;
    } else if (event == CTRL_BREAK_EVENT && PYTHON_HANDLES_SIGBREAK.load()) {
        sig = SIGBREAK;
    } else {
        return FALSE;
    }
    // Callable from any thread without the lock.
    PyErr_SetInterruptEx(sig);
    ARRIVED.store(true, std::memory_order_release);
    return TRUE;
}

// signal.getsignal(sig) is a Python callable: not SIG_DFL, SIG_IGN or None.
bool python_handles(PyObject* module, int sig) {
    Owned handler(PyObject_CallMethod(module, "getsignal", "i", sig));
    if (!handler) {
        drop_pending();
        return false;
    }
    return PyCallable_Check(handler.get()) != 0;
}

// Records which signals Python handles now; true when one is new.
bool record_python_handlers() {
    Owned module(PyImport_ImportModule("signal"));
    if (!module) {
        drop_pending();
        return false;
    }
    bool added = false;
    for (auto [sig, flag] : {std::pair{SIGINT, &PYTHON_HANDLES_SIGINT},
                             std::pair{SIGBREAK, &PYTHON_HANDLES_SIGBREAK}}) {
        const bool handles = python_handles(module.get(), sig);
        added |= handles && !flag->load();
        flag->store(handles);
    }
    return added;
}

}  // namespace

PyResult<bool> prepare() { return true; }

bool route(Share& share) {
    if (!share.counted) {
        share.counted = true;
        SHARES++;
    }
    const bool added = record_python_handlers();
    if (INSTALLED) return added;
    INSTALLED = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
    return INSTALLED;
}

void unroute(Share& share) {
    if (!share.counted) return;
    share.counted = false;
    if (--SHARES > 0 || !INSTALLED) return;
    SetConsoleCtrlHandler(on_console_event, FALSE);
    INSTALLED = false;
}

bool arrived() noexcept { return ARRIVED.load(std::memory_order_acquire); }

void lower() noexcept { ARRIVED.store(false, std::memory_order_relaxed); }

// No fork on Windows.
uint64_t generation() noexcept { return 0; }

}  // namespace quorlix::signal_watch
