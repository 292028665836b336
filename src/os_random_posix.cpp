// The request to each POSIX system's random generator, and its error texts.
#include "os_random.h"

#include <fcntl.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#else
#include <sys/random.h>  // getrandom on FreeBSD, getentropy on macOS
#endif

#if defined(__linux__) && !defined(SYS_getrandom)
// Kernel headers older than 3.17 lack the number; the kernel may still have it.
#if defined(__x86_64__)
#define SYS_getrandom 318
#elif defined(__aarch64__)
#define SYS_getrandom 278
#elif defined(__s390x__)
#define SYS_getrandom 349
#elif defined(__powerpc64__)
#define SYS_getrandom 359
#else
#error "no getrandom system call number for this processor"
#endif
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quorlix {

namespace {

// One request to the system generator, blocking until it is seeded: the
// number of bytes written, or -1 with errno set.
long random_request(uint8_t* buf, size_t len) {
#if defined(__linux__)
    // The system call itself, not glibc's wrapper: that appeared in glibc
    // 2.25, and the module must load on older C libraries.
    return syscall(SYS_getrandom, buf, len, 0L);
#elif defined(__APPLE__)
    // All or nothing, at most 256 bytes per call.
    const size_t n = std::min<size_t>(len, 256);
    return getentropy(buf, n) == 0 ? long(n) : -1;
#else
    return getrandom(buf, len, 0);
#endif
}

// GNU strerror_r returns the text, which need not be in buf; the XSI one
// (musl, the BSDs, macOS) returns 0 after writing buf.
[[maybe_unused]] const char* strerror_text(const char* gnu, const char*) { return gnu; }
[[maybe_unused]] const char* strerror_text(int xsi, const char* buf) {
    return xsi == 0 ? buf : "Unknown error";
}

}  // namespace

namespace {

// Fills buf through request(dst, len) -> bytes or -1 with errno, which may
// give fewer bytes than asked for; interrupted requests are retried.
template <class Request>
Result<void, RandomError> fill_with(std::span<uint8_t> buf, Request request) {
    size_t filled = 0;
    while (filled < buf.size()) {
        const size_t want = buf.size() - filled;
        const long got = request(buf.data() + filled, want);
        if (got > 0 && size_t(got) <= want) {
            filled += size_t(got);
            continue;
        }
        if (got == -1) {
            const int err = errno;
            if (err == EINTR) continue;
            if (err > 0) return Err{RandomError{RandomError::Kind::Os, err}};
            return Err{RandomError{RandomError::Kind::NoErrno, 0}};
        }
        return Err{RandomError{RandomError::Kind::Unexpected, 0}};
    }
    return {};
}

// Where the system call is missing (Linux before 3.17) or a sandbox refuses
// it, the device gives the same bytes, as os.urandom takes them.
Result<void, RandomError> fill_from_device(std::span<uint8_t> buf) {
    int fd;
    do {
        fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1) return Err{RandomError{RandomError::Kind::Os, errno}};
    auto r = fill_with(buf, [fd](uint8_t* dst, size_t len) { return long(read(fd, dst, len)); });
    close(fd);
    return r;
}

}  // namespace

Result<void, RandomError> fill_random(std::span<uint8_t> buf) {
    auto r = fill_with(buf, random_request);
    if (!r && r.error().kind == RandomError::Kind::Os &&
        (r.error().code == ENOSYS || r.error().code == EPERM)) {
        return fill_from_device(buf);
    }
    return r;
}

std::string os_error_text(int code) {
    char text[128];
    return strerror_text(strerror_r(code, text, sizeof text), text);
}

}  // namespace quorlix
