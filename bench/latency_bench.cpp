// Latency of the whole path: from the moment an access unit has been written
// completely to the program's standard input (at the stream's frame rate) to
// the moment its picture is first committed to a plane of the simulated card
// (the update log's stamp=N lines), for show-on-arrival and vblank pacing.
// The same frames decoded alone by FFmpeg in this process, one per frame
// period as in the runs, give the decode time; the difference is what the
// program itself adds.
//
//   bench_latency --stream FILE [--frames N] [--fps F] [--warmup N] [--sim EXE]
//                 [--env NAME=VALUE]... [--keep 1]
//   --env adds a variable to the program's environment (e.g. VEX_KMS_CADENCE=1);
//   --keep 1 keeps each run's directory (log, update log, feed.log with the
//   write times) and prints its path.
//
// Two ways of feeding are measured. "plain" writes each access unit as it is:
// a byte-stream parser can only cut an access unit once the next one begins,
// so each picture waits one frame period for its successor. "trailing AUD"
// writes an access unit delimiter right after each unit, as a low-latency
// sender does, so the unit is complete when its write ends.
#include "bench/video_bench.h"

extern "C" {
#include <libavutil/log.h>
}

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
    int frames = 600;
    double fps = 60;
    int warmup = 30;
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
    long missing = 0;
    int status = -1;
};

RunResult run(const Opts &o, const std::vector<Bytes> &aus, const std::vector<double> &decode_ms,
              bool smooth, bool trailing_aud) {
    RunResult r;
    SimProcess p;
    std::vector<std::pair<std::string, std::string>> env = o.env;
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
    for (int i = o.warmup; i < n; i++) {
        auto it = first.find(i);
        if (it == first.end() || !done[(size_t)i]) {
            r.missing++;
            continue;
        }
        double l = (double)(it->second - done[(size_t)i]) / 1000.0;
        r.latency_ms.push_back(l);
        r.added_ms.push_back(l - decode_ms[(size_t)i]);
    }
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
                    "[--sim EXE] [--env NAME=VALUE]... [--keep 1]\n");
    return 2;
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
        else if (a == "--keep")
            o.keep = atoi(v) != 0;
        else if (a == "--env" && strchr(v, '='))
            o.env.emplace_back(std::string(v, strchr(v, '=')), strchr(v, '=') + 1);
        else
            return usage();
    }
    if (o.stream.empty() || o.fps <= 0 || o.frames <= o.warmup) return usage();
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
    // picture into its dmabuf, a cost of the simulation that the program pays.
    std::vector<int64_t> board_frame;
    std::vector<double> board_counted;
    if (decode_alone(fed, hevc, &board_frame, o.fps, true) >= 0)
        for (size_t i = (size_t)o.warmup; i < board_frame.size(); i++)
            board_counted.push_back((double)board_frame[i] / 1000.0);
    Percentiles bd = percentiles(board_counted);

    printf("latency: %s, %d frames at %.0f fps (the first %d not counted), vblank period %.2f ms\n",
           o.stream.c_str(), o.frames, o.fps, o.warmup, o.vblank_ms);
    printf("  decode alone (FFmpeg, 2 slice threads, paced)  p50/p95/p99 %.2f/%.2f/%.2f ms\n",
           d.p50, d.p95, d.p99);
    printf("  simulated board's decoder alone (paced)        p50/p95/p99 %.2f/%.2f/%.2f ms "
           "(FFmpeg and a copy into its dmabuf)\n",
           bd.p50, bd.p95, bd.p99);
    printf("  %-16s %-13s %6s  %-26s %-26s %s\n", "pacing", "feed", "frames",
           "latency p50/p95/p99 ms", "added p50/p95/p99 ms", "target: added p99");
    bool all_met = true;
    for (bool smooth : {false, true}) {
        for (bool trailing : {true, false}) {
            RunResult r = run(o, aus, decode_ms, smooth, trailing);
            Percentiles l = percentiles(r.latency_ms), a = percentiles(r.added_ms);
            double target = smooth ? o.vblank_ms + 1.0 : 1.0;
            bool met = r.status == 0 && a.n > 0 && a.p99 <= target;
            if (trailing) all_met = all_met && met;
            char lat[64], add[64];
            snprintf(lat, sizeof lat, "%.2f/%.2f/%.2f", l.p50, l.p95, l.p99);
            snprintf(add, sizeof add, "%.2f/%.2f/%.2f", a.p50, a.p95, a.p99);
            printf("  %-16s %-13s %6zu  %-26s %-26s <= %.2f ms: %s%s\n",
                   smooth ? "vblank" : "show-on-arrival", trailing ? "trailing AUD" : "plain", l.n,
                   lat, add, target, met ? "met" : "MISSED",
                   r.missing ? (" (" + std::to_string(r.missing) + " not shown)").c_str() : "");
        }
    }
    printf("  (the targets apply to the trailing-AUD feed; a plain feed adds one frame period in "
           "the parser)\n");
    return all_met ? 0 : 3;
}
