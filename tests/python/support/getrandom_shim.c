/* Preloaded by the tests to make the system's random source misbehave on
 * demand. It takes over both ways to reach getrandom on Linux, the system
 * call through syscall(2) and the C library's wrapper, so a fault reaches the
 * module whichever it uses; quorlix_calls counts the requests it saw, and the
 * tests require it to be non-zero. The mode is set through ctypes between
 * calls; 0 passes every call through uncounted. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

enum {
    PASS,
    EINTR_ONCE,
    SHORT_READS,
    FAIL_EIO,
    ERRNO_ZERO,
    RETURN_ZERO,
    TOO_MANY,
    NO_SYSCALL,
    REFUSED
};

int quorlix_fault = PASS;
int quorlix_calls = 0;

typedef long (*syscall_fn)(long, ...);
typedef ssize_t (*getrandom_fn)(void*, size_t, unsigned int);

static syscall_fn real_syscall(void) {
    static syscall_fn real;
    if (!real) real = (syscall_fn)dlsym(RTLD_NEXT, "syscall");
    return real;
}

static ssize_t real_getrandom(void* buf, size_t len, unsigned int flags) {
    return real_syscall()(SYS_getrandom, buf, len, (long)flags);
}

static ssize_t faulty_getrandom(void* buf, size_t len, unsigned int flags) {
    if (quorlix_fault == PASS) return real_getrandom(buf, len, flags);
    quorlix_calls++;
    switch (quorlix_fault) {
        case EINTR_ONCE:
            if (quorlix_calls > 1) break;
            errno = EINTR;
            return -1;
        case SHORT_READS: return real_getrandom(buf, len < 3 ? len : 3, flags);
        case FAIL_EIO: errno = EIO; return -1;
        case ERRNO_ZERO: errno = 0; return -1;
        case RETURN_ZERO: return 0;
        case TOO_MANY: return (ssize_t)len + 1;
        case NO_SYSCALL: errno = ENOSYS; return -1; /* a kernel before 3.17 */
        case REFUSED: errno = EPERM; return -1;     /* a seccomp sandbox */
    }
    return real_getrandom(buf, len, flags);
}

ssize_t getrandom(void* buf, size_t len, unsigned int flags) {
    return faulty_getrandom(buf, len, flags);
}

/* Every system call but getrandom goes through untouched: the arguments are
 * passed on as six words, as the C library's own syscall reads them. */
long syscall(long number, ...) {
    long a[6];
    va_list ap;
    va_start(ap, number);
    for (int i = 0; i < 6; i++) a[i] = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_getrandom)
        return faulty_getrandom((void*)a[0], (size_t)a[1], (unsigned int)a[2]);
    return real_syscall()(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
