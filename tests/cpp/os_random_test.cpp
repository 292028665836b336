// The operating system's random bytes, without an interpreter.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "os_random.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

using namespace quorlix;

TEST(OsRandom, FillsTheWholeBuffer) {
    // Longer than one request where the system caps them (256 bytes on macOS).
    std::vector<uint8_t> buf(4096, 0);
    ASSERT_TRUE(fill_random(buf).ok());
    // An unfilled tail: 32 zero bytes by chance come once in 2^256.
    EXPECT_NE(std::vector<uint8_t>(buf.end() - 32, buf.end()), std::vector<uint8_t>(32, 0));
}

TEST(OsRandom, TwoFillsDifferAndKeepToTheirLength) {
    std::vector<uint8_t> a(48, 0), b(48, 0);
    ASSERT_TRUE(fill_random(std::span(a).first(32)).ok());
    ASSERT_TRUE(fill_random(std::span(b).first(32)).ok());
    EXPECT_NE(a, b);
    EXPECT_EQ(std::vector<uint8_t>(a.begin() + 32, a.end()), std::vector<uint8_t>(16, 0));
}

TEST(OsRandom, ErrorTextIsTheSystems) {
#if defined(_WIN32)
    // Windows words each of its codes, and no two alike.
    const std::string denied = os_error_text(ERROR_ACCESS_DENIED);
    EXPECT_NE(denied, "Unknown error");
    EXPECT_NE(denied, os_error_text(ERROR_INVALID_PARAMETER));
#else
    for (int code : {EIO, EINTR, ENOSYS}) EXPECT_EQ(os_error_text(code), std::strerror(code));
#endif
}
