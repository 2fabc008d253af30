// Throughput: frames per second of vex-mpp-sim at full speed (show-on-arrival,
// no vblank wait, the stream read from a file as fast as it goes) against the
// simulated board's decoder alone (FFmpeg with the board decoder's thread
// settings plus the copy of each picture into its dmabuf, which a hardware
// decoder makes by DMA) and FFmpeg alone, all in one run.
//
// Full speed is the steady state after the first K access units (--warm,
// 120 by default), on both sides: the decoder alone is timed from unit K to
// the end; the program's time for the same frames is its run on the whole
// stream less its run on the first K units alone, which removes start-up,
// the decoder's opening and first pictures, and exit. The whole-stream
// figure (the run less a run with no input) is printed beside it.
//
// Each case runs N times, the cases taking turns so that a change of load
// hits them alike; every figure is the shortest of its N runs, printed with
// the spread of the N (longest over shortest). CPU seconds are printed beside
// the wall time: they show what each side costs apart from how it was
// scheduled. The decoder alone runs a second way, handing each picture to a
// thread that waits for it, as the program's reader hands pictures to its
// presentation thread: what that wake-up costs on the machine is shown
// apart. One more case runs the program with the simulated card's update
// log on (a line and a stamp read per plane update): a cost of the
// simulation, shown apart from the program's.
//
//   bench_throughput --stream FILE [--runs N] [--warm K] [--sim EXE]
#include "bench/video_bench.h"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>

namespace {

// The runs of one case: wall and CPU µs of each.
struct Runs {
    std::vector<int64_t> wall, cpu;
    int64_t best() const { return wall.empty() ? -1 : *std::min_element(wall.begin(), wall.end()); }
    int64_t best_cpu() const {
        return cpu.empty() ? -1 : *std::min_element(cpu.begin(), cpu.end());
    }
    double spread() const {
        if (wall.empty()) return 0;
        return (double)*std::max_element(wall.begin(), wall.end()) / (double)best();
    }
};

int64_t tv_us(const timeval &t) {
    return (int64_t)t.tv_sec * 1000000 + t.tv_usec;
}

long after(const std::string &log, const char *prefix) {
    size_t p = log.find(prefix);
    return p == std::string::npos ? -1 : atol(log.c_str() + p + strlen(prefix));
}

struct SimResult {
    long decoded = -1, shown = -1, fifo = -1;
};

// One run of the program on `input`; adds its times to `runs`. False when it failed.
// With `one_core` the program's threads all run on the first CPU.
bool run_sim(const std::string &exe, const std::string &input, bool update_log, Runs *runs,
             SimResult *res, bool one_core = false) {
    SimProcess p;
    std::vector<std::pair<std::string, std::string>> env = {{"VEX_SMOOTH", "0"}};
    char log_path[] = "/tmp/vex-bench-log.XXXXXX";
    int log_fd = -1;
    if (update_log) {
        log_fd = mkstemp(log_path);
        if (log_fd < 0) return false;
        env.push_back({"VEX_SIM_UPDATE_LOG", log_path});
    }
    // The child inherits this thread's CPUs: narrowed for the start only.
    cpu_set_t mine, first;
    CPU_ZERO(&first);
    CPU_SET(0, &first);
    if (one_core && (sched_getaffinity(0, sizeof mine, &mine) != 0 ||
                     sched_setaffinity(0, sizeof first, &first) != 0))
        return false;
    const int64_t t0 = bench_mono_us();
    const int started = sim_start(exe, env, input, &p);
    if (one_core) sched_setaffinity(0, sizeof mine, &mine);
    if (started < 0) return false;
    int st = 0;
    rusage ru{};
    while (wait4(p.pid, &st, 0, &ru) < 0 && errno == EINTR) {}
    const int64_t us = bench_mono_us() - t0;
    if (log_fd >= 0) {
        close(log_fd);
        unlink(log_path);
    }
    std::string log = bench_read_text(p.dir + "/stderr");
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
        fprintf(stderr, "bench: vex-mpp-sim failed (status %d); log in %s\n", st, p.dir.c_str());
        return false;
    }
    sim_cleanup(&p);
    runs->wall.push_back(us);
    runs->cpu.push_back(tv_us(ru.ru_utime) + tv_us(ru.ru_stime));
    if (res) {
        res->decoded = after(log, "vex-sim: decoder produced ");
        size_t s = log.find("end of input");
        if (s != std::string::npos) {
            res->shown = after(log.substr(s), " shown=");
            res->fifo = after(log.substr(s), "fifo/throttle/gate=");
        }
    }
    return true;
}

bool run_alone(const std::vector<Bytes> &aus, bool hevc, bool board, Runs *runs, long from,
               bool hand_over = false) {
    int64_t cpu = 0;
    const int64_t us = decode_alone(aus, hevc, nullptr, 0, board, hand_over, (size_t)from, &cpu);
    if (us <= 0) return false;
    runs->wall.push_back(us);
    runs->cpu.push_back(cpu);
    return true;
}

// The shortest run of `a` less the shortest of `b` (wall and CPU), as one run.
Runs less(const Runs &a, const Runs &b) {
    Runs d;
    d.wall = {a.best() - b.best()};
    d.cpu = {a.best_cpu() - b.best_cpu()};
    return d;
}

// A case measured N times prints its spread; a difference of two cases does not.
void print_case(const char *name, const Runs &r, long frames, const char *note) {
    char spread[32] = "";
    if (r.wall.size() > 1) snprintf(spread, sizeof spread, " (spread %.2f)", r.spread());
    printf("  %-40s %7.1f frames/s  %.3f s%s  cpu %.3f s  %s\n", name,
           (double)frames * 1e6 / (double)r.best(), (double)r.best() / 1e6, spread,
           (double)r.best_cpu() / 1e6, note);
}

} // namespace

int main(int argc, char **argv) {
    std::string sim = VEX_SIM_EXE, stream;
    int runs = 5;
    long warm = 120;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--stream"))
            stream = argv[i + 1];
        else if (!strcmp(argv[i], "--runs"))
            runs = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--warm"))
            warm = atol(argv[i + 1]);
        else if (!strcmp(argv[i], "--sim"))
            sim = argv[i + 1];
        else
            stream.clear(), i = argc;
    }
    if (stream.empty() || runs < 1 || warm < 1) {
        fprintf(stderr,
                "usage: bench_throughput --stream FILE [--runs N] [--warm K] [--sim EXE]\n");
        return 2;
    }
    av_log_set_level(AV_LOG_FATAL); // a lone trailing delimiter makes the decoder complain
    const bool hevc = stream.size() > 5 && stream.compare(stream.size() - 5, 5, ".h265") == 0;
    Bytes data;
    std::vector<Bytes> aus;
    if (read_file(stream.c_str(), &data) < 0 || split_access_units(data, hevc, &aus) < 0) return 1;
    if ((size_t)warm * 2 > aus.size()) {
        fprintf(stderr, "bench: %zu access units: too few for --warm %ld\n", aus.size(), warm);
        return 2;
    }
    // The first K units as a stream of their own.
    char head_path[] = "/tmp/vex-bench-head.XXXXXX";
    int head_fd = mkstemp(head_path);
    if (head_fd < 0) return 1;
    bool head_ok = true;
    for (long i = 0; i < warm && head_ok; i++)
        head_ok = write(head_fd, aus[i].data(), aus[i].size()) == (ssize_t)aus[i].size();
    close(head_fd);

    Runs ff, board, handed, idle, head, full, logged, head_one, full_one;
    SimResult res, head_res;
    for (int i = 0; i < runs && head_ok; i++) {
        if (!run_alone(aus, hevc, false, &ff, warm) || !run_alone(aus, hevc, true, &board, warm) ||
            !run_alone(aus, hevc, true, &handed, warm, true) ||
            !run_sim(sim, "/dev/null", false, &idle, nullptr) ||
            !run_sim(sim, head_path, false, &head, &head_res) ||
            !run_sim(sim, stream, false, &full, &res) ||
            !run_sim(sim, stream, true, &logged, nullptr) ||
            !run_sim(sim, head_path, false, &head_one, nullptr, true) ||
            !run_sim(sim, stream, false, &full_one, nullptr, true)) {
            head_ok = false;
        }
    }
    unlink(head_path);
    if (!head_ok) {
        fprintf(stderr, "bench: a run failed\n");
        return 1;
    }
    if (res.decoded <= 0 || head_res.decoded <= 0 || head_res.decoded >= res.decoded) {
        fprintf(stderr, "bench: the program reported no decoded frames\n");
        return 1;
    }
    // The program's steady state: the shortest whole run less the shortest run
    // on the first K units.
    const Runs work = less(full, head), work_logged = less(logged, head),
               work_one = less(full_one, head_one), whole = less(full, idle);
    const long n = res.decoded - head_res.decoded;
    const long alone_n = (long)aus.size() - warm;
    char note[200];
    printf("throughput: %s, %ld frames, full speed after the first %ld, shortest of %d runs each "
           "(spread = longest/shortest)\n",
           stream.c_str(), res.decoded, warm, runs);
    print_case("FFmpeg decoding alone (2 slice threads)", ff, alone_n, "");
    print_case("simulated board's decoder alone", board, alone_n,
               "(FFmpeg + the copy into its dmabuf)");
    snprintf(note, sizeof note, "(waking a thread per picture costs %.1f%% here)",
             100.0 * ((double)handed.best() / (double)board.best() - 1.0));
    print_case("  same, each picture handed to a thread", handed, alone_n, note);
    snprintf(note, sizeof note,
             "(%.3f s run (spread %.2f) - %.3f s on the first %ld units (spread %.2f); %ld shown, "
             "%ld mailbox drops)",
             (double)full.best() / 1e6, full.spread(), (double)head.best() / 1e6, warm,
             head.spread(), res.shown, res.fifo);
    print_case("vex-mpp-sim, show-on-arrival, unpaced", work, n, note);
    snprintf(note, sizeof note, "(the simulated card's update log and stamp reads: %.1f%% more)",
             100.0 * ((double)work_logged.best() / (double)work.best() - 1.0));
    print_case("  same, with the card's update log on", work_logged, n, note);
    snprintf(note, sizeof note,
             "(whole stream: run less %.3f s with no input; start-up, first pictures and exit "
             "included)",
             (double)idle.best() / 1e6);
    print_case("  same, whole stream", whole, res.decoded, note);
    snprintf(note, sizeof note,
             "(both threads on one CPU: the hand-over wakes no other core; ratio to the decoder "
             "alone %.3f)",
             ((double)n / (double)work_one.best()) / ((double)alone_n / (double)board.best()));
    print_case("  same, on one core", work_one, n, note);
    // Frames per second against frames per second: the two sides time
    // slightly different frame counts when the program's first K units yield
    // other than K pictures.
    const double rate = (double)n / (double)work.best();
    const double board_rate = (double)alone_n / (double)board.best();
    const double ratio = rate / board_rate;
    printf("  ratio to the simulated decoder alone %.3f   target >= 0.95: %s\n", ratio,
           ratio >= 0.95 ? "met" : "MISSED");
    printf("  ratio to the decoder handing each picture to a thread %.3f (what the program adds "
           "beyond that hand-over)\n",
           rate / ((double)alone_n / (double)handed.best()));
    printf("  ratio to FFmpeg alone %.3f (the simulated decoder's copy counted against the "
           "program)\n",
           rate / ((double)alone_n / (double)ff.best()));
    return ratio >= 0.95 ? 0 : 3;
}
