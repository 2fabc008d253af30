// stream_mutate: writes a mutant of an Annex B elementary stream, the same
// one for the same seed.
//
//   stream_mutate h264|hevc IN SEED OUT
//
// The seed picks one to three mutations: bits flipped anywhere or inside a
// parameter set, random bytes (sometimes a start code and a header) inserted,
// the stream cut short, two NAL units swapped, a run of units shuffled, a unit
// repeated elsewhere or dropped. The mutations applied are printed.
#include "tools/au_split.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace {

struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    size_t below(size_t n) { return n ? (size_t)(next() % n) : 0; }
};

std::vector<Bytes> units_of(const Bytes &b, bool hevc) {
    std::vector<Bytes> u;
    std::vector<Nal> nals = find_nals(b.data(), b.size(), hevc);
    if (nals.empty() || nals[0].start > 0)
        u.emplace_back(b.begin(), b.begin() + (long)(nals.empty() ? b.size() : nals[0].start));
    for (const Nal &n : nals) u.emplace_back(b.begin() + (long)n.start, b.begin() + (long)n.end);
    return u;
}

Bytes join(const std::vector<Bytes> &u) {
    Bytes b;
    for (const Bytes &x : u) b.insert(b.end(), x.begin(), x.end());
    return b;
}

std::string mutate(Bytes &b, bool hevc, Rng &r) {
    if (b.empty()) return "empty";
    char what[96];
    switch (r.below(8)) {
        case 0: {
            size_t n = 1 + r.below(16);
            for (size_t i = 0; i < n; i++) b[r.below(b.size())] ^= (uint8_t)(1u << r.below(8));
            snprintf(what, sizeof what, "flip %zu bits", n);
            break;
        }
        case 1: { // flip bits inside one parameter set
            std::vector<Nal> nals = find_nals(b.data(), b.size(), hevc);
            std::vector<Nal> ps;
            for (const Nal &n : nals)
                if (is_param_set(n.type, hevc) && n.end - n.start > 6) ps.push_back(n);
            if (ps.empty()) return mutate(b, hevc, r);
            const Nal &n = ps[r.below(ps.size())];
            size_t k = 1 + r.below(4), from = n.start + 5;
            for (size_t i = 0; i < k; i++)
                b[from + r.below(n.end - from)] ^= (uint8_t)(1u << r.below(8));
            snprintf(what, sizeof what, "flip %zu bits in the parameter set at %zu", k, n.start);
            break;
        }
        case 2: {
            size_t at = r.below(b.size() + 1), n = 1 + r.below(64);
            Bytes ins;
            if (r.below(2)) ins = {0, 0, 1};
            while (ins.size() < n) ins.push_back((uint8_t)r.next());
            b.insert(b.begin() + (long)at, ins.begin(), ins.end());
            snprintf(what, sizeof what, "insert %zu bytes at %zu", ins.size(), at);
            break;
        }
        case 3: {
            size_t at = b.size() / 4 + r.below(b.size() - b.size() / 4);
            b.resize(at);
            snprintf(what, sizeof what, "truncate at %zu", at);
            break;
        }
        case 4:
        case 5:
        case 6:
        case 7: {
            std::vector<Bytes> u = units_of(b, hevc);
            if (u.size() < 3) return mutate(b, hevc, r);
            size_t i = r.below(u.size()), j = r.below(u.size());
            const int kind = (int)r.below(4);
            if (kind == 0) {
                std::swap(u[i], u[j]);
                snprintf(what, sizeof what, "swap units %zu and %zu", i, j);
            } else if (kind == 1) {
                size_t n = std::min<size_t>(2 + r.below(7), u.size() - i);
                for (size_t k = n; k > 1; k--) std::swap(u[i + k - 1], u[i + r.below(k)]);
                snprintf(what, sizeof what, "shuffle units %zu..%zu", i, i + n - 1);
            } else if (kind == 2) {
                u.insert(u.begin() + (long)j, u[i]);
                snprintf(what, sizeof what, "repeat unit %zu before %zu", i, j);
            } else {
                u.erase(u.begin() + (long)i);
                snprintf(what, sizeof what, "drop unit %zu", i);
            }
            b = join(u);
            break;
        }
    }
    return what;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 5 || (strcmp(argv[1], "h264") && strcmp(argv[1], "hevc"))) {
        fprintf(stderr, "usage: stream_mutate h264|hevc IN SEED OUT\n");
        return 2;
    }
    const bool hevc = !strcmp(argv[1], "hevc");
    Bytes b;
    if (read_file(argv[2], &b) < 0) return 1;
    Rng r{strtoull(argv[3], nullptr, 10) * 2654435761ull + 1};
    const size_t n = 1 + r.below(3);
    for (size_t i = 0; i < n; i++) printf("%s%s", i ? "; " : "", mutate(b, hevc, r).c_str());
    printf("\n");
    FILE *f = fopen(argv[4], "wb");
    if (!f || fwrite(b.data(), 1, b.size(), f) != b.size() || fclose(f) != 0) {
        fprintf(stderr, "cannot write %s\n", argv[4]);
        return 1;
    }
    return 0;
}
