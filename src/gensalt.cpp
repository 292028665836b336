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

#include "arguments.h"
#include "bcrypt/radix64.h"
#include "conversions.h"
#include "functions.h"
#include "references.h"

namespace quorlix {

namespace {

constexpr std::string_view GENSALT_PARAMS[] = {"rounds", "prefix"};
constexpr FunctionDescription GENSALT{"gensalt", GENSALT_PARAMS, 0};

constexpr uint16_t DEFAULT_ROUNDS = 12;
constexpr size_t SALT_BYTES = 16;
constexpr size_t SETTING_LEN = 7 + radix64::encoded_len(SALT_BYTES);  // "$2b$12$" + salt

[[noreturn]] void random_failure(const std::string& description) {
    panic("called `Result::unwrap()` on an `Err` value: " + description);
}

/////////////////////
/// System random ///
/////////////////////

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

// Fills buf from the system generator, blocking until it is seeded.
void fill_random(uint8_t* buf, size_t len) {
    size_t filled = 0;
    while (filled < len) {
        const long got = random_request(buf + filled, len - filled);
        if (got > 0 && size_t(got) <= len - filled) {
            filled += size_t(got);
            continue;
        }
        if (got == -1) {
            const int err = errno;
            if (err == EINTR) continue;
            if (err > 0) {
                char text[128];
                const char* s = strerror_text(strerror_r(err, text, sizeof text), text);
                random_failure("Error { os_error: " + std::to_string(err) + ", description: \"" +
                               s + "\" }");
            }
            random_failure(
                "Error { internal_code: 65537, description: \"errno: did not return a positive "
                "value\" }");
        }
        random_failure("Error { internal_code: 65538, description: \"unexpected situation\" }");
    }
}

// Appends into a fixed buffer; running out of room is a broken invariant.
struct BoundedWriter {
    char* at;
    char* end;
    void put(std::string_view s) {
        if (s.size() > size_t(end - at))
            panic("called `Result::unwrap()` on an `Err` value: Error");
        std::memcpy(at, s.data(), s.size());
        at += s.size();
    }
};

PyResult<PyObject*> gensalt(uint16_t rounds, Bytes prefix) {
    const std::string_view p(reinterpret_cast<const char*>(prefix.data()), prefix.size());
    if (p != "2b" && p != "2a")
        return Err{PyErr::value_error("Supported prefixes are b'2a' or b'2b'")};
    if (rounds < 4 || rounds > 31) return Err{PyErr::value_error("Invalid rounds")};

    uint8_t salt[SALT_BYTES] = {};
    fill_random(salt, sizeof salt);
    char encoded[radix64::encoded_len(SALT_BYTES)];
    radix64::encode_into(salt, encoded);

    Owned out(PyBytes_FromStringAndSize(nullptr, SETTING_LEN));
    if (!out) return Err{fetch()};
    char* buf = PyBytes_AsString(out.get());
    std::memset(buf, 0, SETTING_LEN);
    const char cost[2] = {char('0' + rounds / 10), char('0' + rounds % 10)};
    BoundedWriter w{buf, buf + SETTING_LEN};
    w.put("$");
    w.put(p);
    w.put("$");
    w.put({cost, 2});
    w.put("$");
    w.put({encoded, sizeof encoded});
    return out.release();
}

}  // namespace

PyResult<PyObject*> gensalt_wrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    BoundArguments bound(GENSALT);
    TRY_OK(bound.bind(args, nargs, kwnames));
    TRY_LET(const uint16_t rounds, bound.extract(0, extract_u16, DEFAULT_ROUNDS));
    Bytes prefix(reinterpret_cast<const uint8_t*>("2b"), 2);
    if (bound[1] != Py_None) {  // None asks for the default too
        TRY_LET(const Bytes given, bound.extract(1, from_py_object_bound, prefix));
        prefix = given;
    }
    return gensalt(rounds, prefix);
}

}  // namespace quorlix
