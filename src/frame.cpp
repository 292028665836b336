// The frame's last resort: a panic that escaped its handling.
#include "frame.h"

#include <cstdio>
#include <cstdlib>

namespace quorlix {

void trap_abort(const char* message) noexcept {
    std::fprintf(stderr, "quorlix: fatal: %s\n", message);
    std::fflush(stderr);
    std::abort();
}

}  // namespace quorlix
