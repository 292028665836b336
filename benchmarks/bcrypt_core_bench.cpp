// Times the bcrypt core (_hash_password) against the C library's crypt(3)
// on the same password and setting, interleaved so that frequency drift
// and noisy neighbours hit both alike, and prints medians and their ratio.
// Times are the thread's CPU time, so being descheduled costs neither.
// Given a lane count, it then times hash_passwords on groups of 1 to that
// many passwords, each against crypt(3)'s one hash in the same rounds, and
// prints the time per hash and its ratio to crypt(3)'s.
//
//     bcrypt_core_bench [cost=12] [rounds=9] [lanes=0]

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

std::string theirs(const std::string& setting, const char* password = PASSWORD) {
    static crypt_data data;
    std::memset(&data, 0, sizeof data);
    const char* h = crypt_rn(password, setting.c_str(), &data, sizeof data);
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

// Lane k hashes PASSWORD with k as its last character, so that no two
// lanes look up alike.
struct Batch {
    std::vector<std::string> passwords;
    std::vector<bc::LaneInput> items;
    std::vector<bc::RawHash> out;

    Batch(size_t n, const std::array<uint8_t, 16>& salt) : out(n) {
        for (size_t k = 0; k < n; k++)
            passwords.push_back(PASSWORD + std::string(1, char('a' + k)));
        for (const auto& p : passwords) {
            items.push_back({{reinterpret_cast<const uint8_t*>(p.data()), p.size()}, salt});
        }
    }
    void run(uint32_t cost) {
        if (!bc::hash_passwords_with_lanes(items, cost, out, items.size())) {
            std::fprintf(stderr, "hash_passwords failed\n");
            std::exit(2);
        }
    }
    std::string text(size_t k, uint32_t cost) const {
        return bc::hash_parts(cost, items[k].salt, out[k]).format_for_version(bc::Version::V2b);
    }
};

// Per round: crypt(3) once and each group size once, the order turning
// from round to round.
int time_lanes(uint32_t cost, int rounds, size_t max_lanes, const std::array<uint8_t, 16>& salt,
               const std::string& setting) {
    std::vector<Batch> batches;
    for (size_t n = 1; n <= max_lanes; n++) batches.emplace_back(n, salt);
    for (auto& b : batches) {
        b.run(cost);
        for (size_t k = 0; k < b.items.size(); k++) {
            if (b.text(k, cost) != theirs(setting, b.passwords[k].c_str())) {
                std::fprintf(stderr, "%zu lanes: lane %zu differs from crypt(3)\n", b.items.size(),
                             k);
                return 1;
            }
        }
    }
    std::vector<std::vector<double>> t(max_lanes + 1);  // t[0]: crypt(3)
    std::string unused;
    for (int i = 0; i < rounds; i++) {
        for (size_t j = 0; j <= max_lanes; j++) {
            const size_t n = (j + size_t(i)) % (max_lanes + 1);
            const double t0 = cpu_now();
            if (n == 0) {
                unused = theirs(setting);
            } else {
                batches[n - 1].run(cost);
            }
            t[n].push_back(cpu_now() - t0);
        }
    }
    const double crypt3 = median(t[0]);
    std::printf("cost %u, %d rounds, crypt(3) median %.4f s per hash\n", cost, rounds, crypt3);
    std::printf("%5s %12s %10s\n", "lanes", "s per hash", "/ crypt(3)");
    for (size_t n = 1; n <= max_lanes; n++) {
        const double per_hash = median(t[n]) / double(n);
        std::printf("%5zu %12.4f %10.3f\n", n, per_hash, per_hash / crypt3);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t cost = argc > 1 ? uint32_t(std::atoi(argv[1])) : 12;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 9;
    const size_t lanes = argc > 3 ? size_t(std::atoi(argv[3])) : 0;

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
    if (lanes > bc::MAX_LANES) {
        std::fprintf(stderr, "at most %zu lanes\n", bc::MAX_LANES);
        return 2;
    }
    return lanes > 0 ? time_lanes(cost, rounds, lanes, salt, setting) : 0;
}
