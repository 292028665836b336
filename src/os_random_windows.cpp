// The request to the random generator of Windows, and its error texts.
#include "os_random.h"

#define NOMINMAX 1  // std::min and std::max, not macros; as libstdc++ has it
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which defines what they use.
#include <bcrypt.h>
#include <winternl.h>

#include <algorithm>
#include <climits>

namespace quorlix {

// The system's preferred generator, seeded by the system: a request fails
// only on arguments it cannot take.
Result<void, RandomError> fill_random(std::span<uint8_t> buf) {
    size_t filled = 0;
    while (filled < buf.size()) {
        // ULONG is 32 bits on Windows: a longer buffer takes several requests.
        const ULONG want = ULONG(std::min<size_t>(buf.size() - filled, ULONG_MAX));
        const NTSTATUS status =
            BCryptGenRandom(nullptr, buf.data() + filled, want, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (!BCRYPT_SUCCESS(status)) {
            // As a system error code, the errno of Windows.
            return Err{RandomError{RandomError::Kind::Os, int(RtlNtStatusToDosError(status))}};
        }
        filled += want;
    }
    return {};
}

std::string os_error_text(int code) {
    char text[256];
    const DWORD len = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, DWORD(code), 0, text, sizeof text, nullptr);
    std::string s(text, len);
    // Without the line break that ends it.
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s.empty() ? "Unknown error" : s;
}

}  // namespace quorlix
