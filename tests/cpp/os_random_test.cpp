// The operating system's random bytes, without an interpreter.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "os_random.h"

using namespace quorlix;

TEST(OsRandom, FillsTheWholeBuffer) {
    // Longer than one request where the system caps them (256 bytes on macOS).
    std::vector<uint8_t> buf(4096, 0);
    ASSERT_TRUE(fill_random(buf).ok());
    // An unfilled tail: 32 zero bytes by chance come once in 2^256.
    EXPECT_NE(std::vector<uint8_t>(buf.end() - 32, buf.end()), std::vector<uint8_t>(32, 0));
}

TEST(OsRandom, ErrorTextIsTheSystems) {
    for (int code : {EIO, EINTR, ENOSYS}) EXPECT_EQ(os_error_text(code), std::strerror(code));
}
