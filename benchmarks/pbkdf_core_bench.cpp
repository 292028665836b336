// Times the bcrypt_pbkdf core for several key lengths with at most 1, 2, 3
// and 4 blocks advanced together, interleaved so that drift and noisy
// neighbours hit every grouping alike, and prints the median time per
// block and its ratio to one block after another. Times are the thread's
// CPU time. This is how the default group size was chosen.
//
//     pbkdf_core_bench [rounds=8] [repetitions=7]

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "pbkdf/bcrypt_pbkdf.h"

namespace {

namespace pb = quorlix::pbkdf;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double cpu_now() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t rounds = argc > 1 ? uint32_t(std::atoi(argv[1])) : 8;
    const int reps = argc > 2 ? std::atoi(argv[2]) : 7;
    const uint8_t password[] = "bench pass", salt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9};

    std::printf("rounds %u, median of %d; ms per block (ratio to 1 lane)\n", rounds, reps);
    std::printf("%6s %6s", "bytes", "blocks");
    for (size_t lanes = 1; lanes <= pb::MAX_LANES; lanes++) {
        std::printf("   max %zu lanes  ", lanes);
    }
    std::printf("\n");
    for (size_t n : {32, 48, 96, 128, 160, 256, 512, 1024}) {
        const size_t blocks = pb::stride_for(n);
        std::vector<uint8_t> out(n), memory(32 * blocks), want;
        std::vector<std::vector<double>> t(pb::MAX_LANES);
        for (int i = 0; i < reps; i++) {
            for (size_t lanes = 1; lanes <= pb::MAX_LANES; lanes++) {
                const double t0 = cpu_now();
                if (!pb::bcrypt_pbkdf_with_lanes({password, sizeof password - 1}, salt, rounds, out,
                                                 memory, lanes)) {
                    std::fprintf(stderr, "bcrypt_pbkdf refused\n");
                    return 2;
                }
                t[lanes - 1].push_back(cpu_now() - t0);
                if (want.empty()) want = out;
                if (out != want) {
                    std::fprintf(stderr, "%zu bytes: %zu lanes give another key\n", n, lanes);
                    return 1;
                }
            }
        }
        const double one = median(t[0]);
        std::printf("%6zu %6zu", n, blocks);
        for (const auto& ti : t) {
            const double m = median(ti);
            std::printf("  %7.3f (%.3f)", 1e3 * m / double(blocks), m / one);
        }
        std::printf("\n");
    }
    return 0;
}
