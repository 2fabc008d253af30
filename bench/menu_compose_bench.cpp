// The overlay composition of an open menu on a 1920x1080 output against a
// plain memset of one overlay buffer, measured in turns so that the load of
// the machine falls on all of them alike:
//   - memset of the buffer (the baseline);
//   - the first picture after the menu opens (the whole buffer drawn);
//   - the selected row moved by one (what a key press does);
//   - the same menu again (nothing changed).
// Each figure is the shortest of N turns (--runs, default 30); the spread is
// the 90th percentile over that minimum. The ratios are minimum against
// minimum. Exits 3 when a composition takes more than 3 times the memset.
//
//   bench_menu_compose [--runs N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "display/output.h"
#include "overlay/menu.h"
#include "overlay/overlay.h"
#include "overlay/text.h"

namespace {

constexpr int W = 1920, H = 1080;

double now_us() {
    using namespace std::chrono;
    return (double)duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() /
           1000.0;
}

template <class F>
double time_us(F f) {
    const double t0 = now_us();
    f();
    return now_us() - t0;
}

struct Series {
    const char *name;
    std::vector<double> us;
    double min() const { return *std::min_element(us.begin(), us.end()); }
    double pct(double p) const {
        std::vector<double> v = us;
        std::sort(v.begin(), v.end());
        return v[std::min(v.size() - 1, (size_t)(p * (double)v.size()))];
    }
};

} // namespace

int main(int argc, char **argv) {
    int runs = 30;
    for (int i = 1; i + 1 < argc; i += 2)
        if (!strcmp(argv[i], "--runs")) runs = atoi(argv[i + 1]);
    if (runs < 1) {
        fprintf(stderr, "usage: bench_menu_compose [--runs N]\n");
        return 2;
    }
    font_init();
    const uint32_t pitch = W * 4;
    std::vector<uint8_t> a((size_t)pitch * H), b((size_t)pitch * H);
    nout = 1;
    Output &o = outs[0];
    o.mode.hdisplay = W;
    o.mode.vdisplay = H;
    o.menu_plane_id = 1;
    o.menu_map[0] = a.data();
    o.menu_map[1] = b.data();
    o.menu_pitch = pitch;
    o.menu_front = -1;

    static const char menu[] = "open\n1\n1\n0\nDisplay\nResolution: 1920x1080\nRefresh: 60 Hz\n"
                               "Aspect: 16:9\nFit: fit\nFlip: none\nTelemetry: off\nReboot\n";
    menu_parse(menu, sizeof menu - 1, &g_menu);

    render_menu_all(); // warm-up: glyphs, page faults of both buffers
    render_menu_all();
    Series fill{"memset of one overlay buffer", {}}, full{"menu opened (whole picture)", {}},
        moved{"selected row moved", {}}, same{"nothing changed", {}};
    for (int i = 0; i < runs; i++) {
        fill.us.push_back(time_us([&] {
            memset(a.data(), (int)(a[17] + 1), a.size());
            __asm__ volatile("" : : "r"(a.data()) : "memory");
        }));
        // The plane starts hidden: buffer 0 gets the whole picture, then
        // buffer 1; each holds the menu with row k selected.
        const int k = i % (g_menu.count - 1);
        g_menu.selected = k;
        o.menu_front = -1;
        full.us.push_back(time_us([] { render_menu_all(); }));
        render_menu_all();
        g_menu.selected = k + 1;
        moved.us.push_back(time_us([] { render_menu_all(); })); // buffer 0: row k -> k + 1
        render_menu_all();                                      // buffer 1: the same
        same.us.push_back(time_us([] { render_menu_all(); }));  // buffer 0 holds it already
    }

    const double base = fill.min();
    printf("overlay composition 1920x1080, %d turns (min, median, p90 in us; spread = p90/min)\n",
           runs);
    double worst = 0;
    for (const Series *s : {&fill, &full, &moved, &same}) {
        printf("  %-30s %7.0f %7.0f %7.0f  spread %.2f", s->name, s->min(), s->pct(0.5),
               s->pct(0.9), s->pct(0.9) / s->min());
        if (s != &fill) {
            printf("  ratio %.2f", s->min() / base);
            worst = std::max(worst, s->min() / base);
        }
        printf("\n");
    }
    const bool met = worst <= 3;
    printf("target: each composition <= 3x the memset: %s\n", met ? "met" : "MISSED");
    return met ? 0 : 3;
}
