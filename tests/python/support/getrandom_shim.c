/* Preloaded by the tests to make getrandom misbehave on demand. The mode is
 * set through ctypes between calls; 0 passes every call through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <sys/types.h>

enum { PASS, EINTR_ONCE, SHORT_READS, FAIL_EIO, ERRNO_ZERO, RETURN_ZERO, TOO_MANY };

int quorlix_fault = PASS;
int quorlix_calls = 0;

ssize_t getrandom(void* buf, size_t len, unsigned int flags) {
    static ssize_t (*real)(void*, size_t, unsigned int);
    if (!real) real = (ssize_t(*)(void*, size_t, unsigned int))dlsym(RTLD_NEXT, "getrandom");
    if (quorlix_fault == PASS) return real(buf, len, flags);
    quorlix_calls++;
    switch (quorlix_fault) {
        case EINTR_ONCE:
            if (quorlix_calls > 1) break;
            errno = EINTR;
            return -1;
        case SHORT_READS: return real(buf, len < 3 ? len : 3, flags);
        case FAIL_EIO: errno = EIO; return -1;
        case ERRNO_ZERO: errno = 0; return -1;
        case RETURN_ZERO: return 0;
        case TOO_MANY: return (ssize_t)len + 1;
    }
    return real(buf, len, flags);
}
