// Times the bcrypt core (_hash_password) against the C library's crypt(3)
// on the same password and setting, interleaved so that frequency drift
// and noisy neighbours hit both alike, and prints medians and their ratio.
// Times are the thread's CPU time, so being descheduled costs neither.
//
//     bcrypt_core_bench [cost=12] [rounds=9]

#include <crypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bcrypt/bcrypt.h"
#include "bcrypt/radix64.h"

namespace {

namespace bc = quorlix::bcrypt;

const char PASSWORD[] = "correct horse battery staple";

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string ours(uint32_t cost, const std::array<uint8_t, 16>& salt) {
    auto r = bc::_hash_password({reinterpret_cast<const uint8_t*>(PASSWORD), sizeof PASSWORD - 1},
                                cost, salt);
    if (!r) {
        std::fprintf(stderr, "cost %u refused\n", cost);
        std::exit(2);
    }
    return r.value().format_for_version(bc::Version::V2b);
}

std::string theirs(const std::string& setting) {
    static crypt_data data;
    std::memset(&data, 0, sizeof data);
    const char* h = crypt_rn(PASSWORD, setting.c_str(), &data, sizeof data);
    if (!h) {
        std::perror("crypt_rn");
        std::exit(2);
    }
    return h;
}

double cpu_now() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

template <class F>
double seconds(F&& f, std::string& out) {
    const double t0 = cpu_now();
    out = f();
    return cpu_now() - t0;
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t cost = argc > 1 ? uint32_t(std::atoi(argv[1])) : 12;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 9;

    std::array<uint8_t, 16> salt;
    for (size_t i = 0; i < salt.size(); i++) salt[i] = uint8_t(0x5A ^ (i * 73));
    char cost_text[8];
    std::snprintf(cost_text, sizeof cost_text, "%02u", cost);
    const std::string setting =
        "$2b$" + std::string(cost_text) + "$" + quorlix::radix64::encode(salt);

    std::vector<double> t_ours, t_theirs;
    std::string h_ours, h_theirs;
    for (int i = 0; i < rounds; i++) {
        // Alternate who goes first so neither always runs on a warm core.
        if (i % 2 == 0) {
            t_ours.push_back(seconds([&] { return ours(cost, salt); }, h_ours));
            t_theirs.push_back(seconds([&] { return theirs(setting); }, h_theirs));
        } else {
            t_theirs.push_back(seconds([&] { return theirs(setting); }, h_theirs));
            t_ours.push_back(seconds([&] { return ours(cost, salt); }, h_ours));
        }
        std::printf("round %d: quorlix %.4f s  crypt(3) %.4f s\n", i + 1, t_ours.back(),
                    t_theirs.back());
        if (h_ours != h_theirs) {
            std::fprintf(stderr, "hashes differ:\n  %s\n  %s\n", h_ours.c_str(), h_theirs.c_str());
            return 1;
        }
    }
    const double mo = median(t_ours), mt = median(t_theirs);
    std::printf("cost %u, %d rounds: median quorlix %.4f s, crypt(3) %.4f s, ratio %.3f\n", cost,
                rounds, mo, mt, mo / mt);
    return 0;
}
