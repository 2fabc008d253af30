// Latency of the whole path: from the moment an access unit has been written
// completely to the program's standard input (at the stream's frame rate) to
// the moment its picture is first committed to a plane of the simulated card
// (the update log's stamp=N lines), for show-on-arrival and vblank pacing.
// The same frames decoded alone in this process by the simulated board's
// decoder (FFmpeg and the copy of each picture into its dmabuf, which a
// hardware decoder makes while decoding), one per frame period as in the
// runs, give the decode time; the difference is what the program itself
// adds. FFmpeg alone is printed beside it.
//
//   bench_latency --stream FILE [--frames N] [--fps F] [--warmup N] [--runs N]
//                 [--cases all|targets] [--sim EXE] [--env NAME=VALUE]... [--keep 1]
//   --runs N runs every case N times (default 3), the cases taking turns, and
//   prints for each percentile the smallest of the N figures and their spread
//   (largest - smallest); --cases targets runs only the cases with a target;
//   --env adds a variable to the program's environment for every case (e.g.
//   VEX_SIM_BLOCKING_COMMIT=1); --keep 1 keeps each run's directory (log,
//   update log, feed.log with the write times) and prints its path.
//
// Two ways of feeding are measured. "plain" writes each access unit as it is:
// a byte-stream parser can only cut an access unit once the next one begins,
// so each picture waits one frame period for its successor. "trailing AUD"
// writes an access unit delimiter right after each unit, as a low-latency
// sender does, so the unit is complete when its write ends. The plain feed is
// also measured with the opt-in low-latency settings: the idle cut
// (VEX_KMS_IDLE_CUT_MS), the standing-frame drop (VEX_KMS_STANDING_DROP) and
// both, each against the default settings on the same feed and pacing.
#include "bench/video_bench.h"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

struct Opts {
    std::string sim = VEX_SIM_EXE;
    std::string stream;
    int frames = 240;
    double fps = 60;
    int warmup = 30;
    int runs = 3;
    bool targets_only = false;
    double vblank_ms = 2200.0 * 1125 / 148500; // the default board's 1080p60 mode
    std::vector<std::pair<std::string, std::string>> env;
    bool keep = false;
};

const uint8_t aud[] = {0, 0, 0, 1, 9, 0xf0};

void sleep_until_us(int64_t t) {
    timespec ts{(time_t)(t / 1000000), (long)(t % 1000000) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {}
}

bool write_all(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// First commit time (µs) of each stamped frame on any plane.
std::map<long, int64_t> first_commits(const std::string &log) {
    std::map<long, int64_t> first;
    size_t pos = 0;
    while (pos < log.size()) {
        size_t nl = log.find('\n', pos);
        if (nl == std::string::npos) nl = log.size();
        std::string line = log.substr(pos, nl - pos);
        pos = nl + 1;
        size_t s = line.find(" stamp=");
        if (s == std::string::npos) continue;
        long stamp = atol(line.c_str() + s + 7);
        if (stamp < 0) continue;
        int64_t us = atoll(line.c_str());
        auto it = first.find(stamp);
        if (it == first.end() || us < it->second) first[stamp] = us;
    }
    return first;
}

struct RunResult {
    std::vector<double> latency_ms, added_ms;
    double late_pct = -1; // vblank pacing: frames shown a period or more late (see vblanks_late)
    long missing = 0;
    int status = -1;
};

// Vblank pacing puts every commit just after a vblank, so the commit times
// give the vblank grid (its phase: the circular mean of the times modulo the
// period). The share of frames, in %, first committed a period or more after
// the first vblank that followed their write and their decoding (at the time
// decoding alone takes): the periods the program adds beyond the wait for the
// next vblank, which depends on where the writes fall against the grid and
// so on the run.
double vblanks_late(const std::vector<int64_t> &commit_us, const std::vector<int64_t> &ready_us,
                    double period_ms) {
    const double p = period_ms * 1000.0;
    if (commit_us.empty() || p <= 0) return -1;
    double sx = 0, sy = 0;
    for (int64_t t : commit_us) {
        const double a = std::fmod((double)t, p) / p * 2 * M_PI;
        sx += std::cos(a);
        sy += std::sin(a);
    }
    double phase = std::atan2(sy, sx) / (2 * M_PI) * p;
    if (phase < 0) phase += p;
    size_t late = 0;
    for (size_t i = 0; i < commit_us.size(); i++) {
        const double first = phase + std::ceil(((double)ready_us[i] - phase) / p) * p;
        if ((double)commit_us[i] - first >= p / 2) late++;
    }
    return 100.0 * (double)late / (double)commit_us.size();
}

using Env = std::vector<std::pair<std::string, std::string>>;

RunResult run(const Opts &o, const std::vector<Bytes> &aus, const std::vector<double> &decode_ms,
              bool smooth, bool trailing_aud, const Env &extra) {
    RunResult r;
    SimProcess p;
    Env env = o.env;
    env.insert(env.end(), extra.begin(), extra.end());
    if (!smooth) env.emplace_back("VEX_SMOOTH", "0");
    char tmpl[] = "/tmp/vex-bench-log.XXXXXX";
    int lfd = mkstemp(tmpl);
    if (lfd >= 0) close(lfd);
    std::string log_path = tmpl;
    env.emplace_back("VEX_SIM_UPDATE_LOG", log_path);
    if (sim_start(o.sim, env, "", &p) < 0) return r;

    // Feed only once the presentation loop runs (its first state is written).
    const std::string state = p.dir + "/board/run/vex-fpv/hdmi_state";
    struct stat st;
    for (int i = 0; i < 2000 && stat(state.c_str(), &st) != 0; i++) usleep(5000);
    usleep(100000);

    const int n = std::min<int>(o.frames, (int)aus.size());
    const int64_t period = (int64_t)(1e6 / o.fps);
    std::vector<int64_t> done(n, 0);
    const int64_t t0 = bench_mono_us() + 20000;
    for (int i = 0; i < n; i++) {
        sleep_until_us(t0 + i * period);
        Bytes chunk = aus[(size_t)i];
        if (trailing_aud) chunk.insert(chunk.end(), aud, aud + sizeof aud);
        if (!write_all(p.in_fd, chunk.data(), chunk.size())) break;
        done[(size_t)i] = bench_mono_us();
    }
    r.status = sim_wait(&p);
    std::map<long, int64_t> first = first_commits(bench_read_text(log_path));
    std::vector<int64_t> commit_us, ready_us;
    for (int i = o.warmup; i < n; i++) {
        auto it = first.find(i);
        if (it == first.end() || !done[(size_t)i]) {
            r.missing++;
            continue;
        }
        double l = (double)(it->second - done[(size_t)i]) / 1000.0;
        r.latency_ms.push_back(l);
        r.added_ms.push_back(l - decode_ms[(size_t)i]);
        commit_us.push_back(it->second);
        ready_us.push_back(done[(size_t)i] + (int64_t)(decode_ms[(size_t)i] * 1000.0));
    }
    if (smooth) r.late_pct = vblanks_late(commit_us, ready_us, o.vblank_ms);
    if (r.status != 0 || o.keep) {
        std::string kept = p.dir + "/updates.log";
        rename(log_path.c_str(), kept.c_str());
        if (FILE *f = fopen((p.dir + "/feed.log").c_str(), "w")) {
            for (int i = 0; i < n; i++) fprintf(f, "%d %lld\n", i, (long long)done[(size_t)i]);
            fclose(f);
        }
        fprintf(stderr, "bench: %s, %s: exit status %d; log and updates.log in %s\n",
                smooth ? "vblank" : "show-on-arrival", trailing_aud ? "trailing AUD" : "plain",
                r.status, p.dir.c_str());
    } else {
        sim_cleanup(&p);
        unlink(log_path.c_str());
    }
    return r;
}

int usage() {
    fprintf(stderr, "usage: bench_latency --stream FILE [--frames N] [--fps F] [--warmup N] "
                    "[--runs N] [--cases all|targets] [--sim EXE] [--env NAME=VALUE]... "
                    "[--keep 1]\n");
    return 2;
}

// One measured case: a feed, a pacing and the settings added for it.
struct Case {
    bool smooth, trailing;
    std::string label; // the settings
    Env env;
    int base = -1;      // the case it is set against (-1: none)
    double target = -1; // added p99 target in ms (< 0: none)
    std::vector<Percentiles> added;
    std::vector<double> late_pct;
    long missing = 0;
    bool failed = false; // a run did not end with status 0
};

// Per percentile the smallest and the largest of the runs' figures.
struct Spread {
    double lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    size_t n = 0;
};
Spread spread(const std::vector<Percentiles> &runs) {
    Spread s;
    bool first = true;
    for (const Percentiles &p : runs) {
        if (p.n == 0) continue;
        const double v[3] = {p.p50, p.p95, p.p99};
        for (int k = 0; k < 3; k++) {
            s.lo[k] = first ? v[k] : std::min(s.lo[k], v[k]);
            s.hi[k] = first ? v[k] : std::max(s.hi[k], v[k]);
        }
        s.n = first ? p.n : std::min(s.n, p.n);
        first = false;
    }
    return s;
}

std::string triple(const double v[3], bool sign = false) {
    char b[64];
    snprintf(b, sizeof b, sign ? "%+.2f/%+.2f/%+.2f" : "%.2f/%.2f/%.2f", v[0], v[1], v[2]);
    return b;
}

} // namespace

int main(int argc, char **argv) {
    Opts o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        const char *v = argv[i + 1];
        if (a == "--stream")
            o.stream = v;
        else if (a == "--frames")
            o.frames = atoi(v);
        else if (a == "--fps")
            o.fps = atof(v);
        else if (a == "--warmup")
            o.warmup = atoi(v);
        else if (a == "--sim")
            o.sim = v;
        else if (a == "--runs")
            o.runs = atoi(v);
        else if (a == "--cases" && (!strcmp(v, "all") || !strcmp(v, "targets")))
            o.targets_only = !strcmp(v, "targets");
        else if (a == "--keep")
            o.keep = atoi(v) != 0;
        else if (a == "--env" && strchr(v, '='))
            o.env.emplace_back(std::string(v, strchr(v, '=')), strchr(v, '=') + 1);
        else
            return usage();
    }
    if (o.stream.empty() || o.fps <= 0 || o.frames <= o.warmup || o.runs < 1) return usage();
    av_log_set_level(AV_LOG_FATAL); // a lone trailing delimiter makes the decoder complain
    signal(SIGPIPE, SIG_IGN);

    Bytes data;
    std::vector<Bytes> aus;
    const bool hevc = o.stream.size() > 5 && o.stream.compare(o.stream.size() - 5, 5, ".h265") == 0;
    if (read_file(o.stream.c_str(), &data) < 0 || split_access_units(data, hevc, &aus) < 0)
        return 1;
    o.frames = std::min<int>(o.frames, (int)aus.size());

    // Decode time of each frame alone, one frame per period as in the runs.
    std::vector<Bytes> fed(aus.begin(), aus.begin() + o.frames);
    std::vector<int64_t> per_frame;
    if (decode_alone(fed, hevc, &per_frame, o.fps) < 0) {
        fprintf(stderr, "bench: cannot decode %s\n", o.stream.c_str());
        return 1;
    }
    std::vector<double> decode_ms(per_frame.size()), decode_counted;
    for (size_t i = 0; i < per_frame.size(); i++) {
        decode_ms[i] = (double)per_frame[i] / 1000.0;
        if ((int)i >= o.warmup) decode_counted.push_back(decode_ms[i]);
    }
    Percentiles d = percentiles(decode_counted);
    // The simulated board's decoder alone: FFmpeg's plus the copy of each
    // picture into its dmabuf, the decoding the program waits for. Its time
    // for each frame is what the program's time is set against.
    std::vector<int64_t> board_frame;
    std::vector<double> board_counted;
    if (decode_alone(fed, hevc, &board_frame, o.fps, true) < 0 ||
        board_frame.size() != per_frame.size()) {
        fprintf(stderr, "bench: the simulated board's decoder cannot decode %s\n",
                o.stream.c_str());
        return 1;
    }
    for (size_t i = 0; i < board_frame.size(); i++) {
        decode_ms[i] = (double)board_frame[i] / 1000.0;
        if ((int)i >= o.warmup) board_counted.push_back(decode_ms[i]);
    }
    Percentiles bd = percentiles(board_counted);

    printf("latency: %s, %d frames at %.0f fps (the first %d not counted), vblank period %.2f ms; "
           "each case run %d times, the cases taking turns\n",
           o.stream.c_str(), o.frames, o.fps, o.warmup, o.vblank_ms, o.runs);
    printf("  decode alone (FFmpeg, 2 slice threads, paced)  p50/p95/p99 %.2f/%.2f/%.2f ms\n",
           d.p50, d.p95, d.p99);
    printf("  simulated board's decoder alone (paced)        p50/p95/p99 %.2f/%.2f/%.2f ms "
           "(FFmpeg and a copy into its dmabuf: the program's time is set against this)\n",
           bd.p50, bd.p95, bd.p99);

    const Env cut = {{"VEX_KMS_IDLE_CUT_MS", "2"}};
    const Env drop = {{"VEX_KMS_STANDING_DROP", "30"}};
    Env both = cut;
    both.insert(both.end(), drop.begin(), drop.end());
    std::vector<Case> cases = {
        {false, true, "default", {}, -1, 1.0, {}, {}, 0, false},
        {true, true, "default", {}, -1, o.vblank_ms + 1.0, {}, {}, 0, false},
    };
    if (!o.targets_only) {
        cases.push_back({true, true, "standing drop 30 (a)", drop, 1, -1, {}, {}, 0, false});
        cases.push_back({false, false, "default", {}, -1, -1, {}, {}, 0, false});          // 3
        cases.push_back({false, false, "idle cut 2 ms", cut, 3, -1, {}, {}, 0, false});    // 4
        cases.push_back({true, false, "default (neither)", {}, -1, -1, {}, {}, 0, false}); // 5
        cases.push_back({true, false, "standing drop 30 (a)", drop, 5, -1, {}, {}, 0, false});
        cases.push_back({true, false, "idle cut 2 ms (b)", cut, 5, -1, {}, {}, 0, false});
        cases.push_back({true, false, "(a) + (b)", both, 5, -1, {}, {}, 0, false});
    }
    for (int i = 0; i < o.runs; i++)
        for (Case &c : cases) {
            RunResult r = run(o, aus, decode_ms, c.smooth, c.trailing, c.env);
            c.added.push_back(percentiles(r.added_ms));
            if (r.late_pct >= 0) c.late_pct.push_back(r.late_pct);
            c.missing = std::max(c.missing, r.missing);
            c.failed = c.failed || r.status != 0;
        }

    printf("  added ms (the program's time) per percentile p50/p95/p99: the smallest of the %d "
           "runs, the spread (largest - smallest) and the difference to the default settings on "
           "the same feed and pacing (both smallest of %d)\n",
           o.runs, o.runs);
    printf("  late: vblank pacing, %% of frames shown a period or more after the first vblank "
           "they could have made once written and decoded (the phase of the writes against the "
           "vblanks, which differs from run to run, left out), least and most of the runs\n");
    printf("  %-16s %-13s %-21s %6s  %-20s %-17s %-23s %-8s %s\n", "pacing", "feed", "settings",
           "frames", "added", "spread", "vs default", "late %", "target: added p99");
    bool all_met = true;
    for (const Case &c : cases) {
        Spread s = spread(c.added);
        double sp[3], vs[3] = {0, 0, 0};
        for (int k = 0; k < 3; k++) sp[k] = s.hi[k] - s.lo[k];
        std::string against = "";
        if (c.base >= 0) {
            Spread b = spread(cases[(size_t)c.base].added);
            for (int k = 0; k < 3; k++) vs[k] = s.lo[k] - b.lo[k];
            against = triple(vs, true);
        }
        std::string target = "";
        if (c.target >= 0) {
            bool met = !c.failed && s.n > 0 && s.lo[2] <= c.target;
            all_met = all_met && met;
            char t[64];
            snprintf(t, sizeof t, "<= %.2f ms: %s", c.target, met ? "met" : "MISSED");
            target = t;
        }
        char late[32] = "";
        if (!c.late_pct.empty())
            snprintf(late, sizeof late, "%.0f-%.0f",
                     *std::min_element(c.late_pct.begin(), c.late_pct.end()),
                     *std::max_element(c.late_pct.begin(), c.late_pct.end()));
        printf("  %-16s %-13s %-21s %6zu  %-20s %-17s %-23s %-8s %s%s%s\n",
               c.smooth ? "vblank" : "show-on-arrival", c.trailing ? "trailing AUD" : "plain",
               c.label.c_str(), s.n, triple(s.lo).c_str(), triple(sp).c_str(), against.c_str(),
               late, target.c_str(),
               c.missing ? (" (up to " + std::to_string(c.missing) + " not shown)").c_str() : "",
               c.failed ? " (a run FAILED)" : "");
    }
    printf("  (the targets apply to the trailing-AUD feed; a plain feed adds one frame period in "
           "the parser unless the idle cut sends each picture once input has gone quiet)\n");
    return all_met ? 0 : 3;
}
