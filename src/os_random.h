// The operating system's random bytes, and why there are none when the
// system refuses. Knows nothing of Python, so C++ tests reach it without an
// interpreter; the requests live in os_random_posix.cpp and
// os_random_windows.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common.h"

namespace quorlix {

struct RandomError {
    enum class Kind : uint8_t {
        Os,          // the system refused, with an error number
        NoErrno,     // the system reported failure without an error number
        Unexpected,  // the system reported no bytes, or more than were asked for
    };
    Kind kind;
    int code;  // the system's error number (errno, GetLastError's on Windows), for Kind::Os
};

// Fills buf from the system generator, blocking until it is seeded.
Result<void, RandomError> fill_random(std::span<uint8_t> buf);

// The system's description of an error number.
std::string os_error_text(int code);

}  // namespace quorlix
