// Throughput: frames per second of vex-mpp-sim at full speed (show-on-arrival,
// no vblank wait, the stream read from a file as fast as it goes) against
// FFmpeg decoding the same stream alone in this process with the simulated
// decoder's thread settings. The program's rate is its decoded frames over
// its run time less the run time of the same program given no input (start-up
// and exit). The simulated board's decoder alone (FFmpeg plus a copy of each
// picture into its dmabuf, which a hardware decoder does not need) is timed
// too, to tell the simulation's cost from the program's.
//
//   bench_throughput --stream FILE [--runs N] [--sim EXE]
#include "bench/video_bench.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct SimTiming {
    int64_t us = -1;
    long decoded = -1, shown = -1, fifo = -1;
};

long after(const std::string &log, const char *prefix) {
    size_t p = log.find(prefix);
    return p == std::string::npos ? -1 : atol(log.c_str() + p + strlen(prefix));
}

// Best (shortest) of `runs` runs of the program on `input`.
SimTiming time_sim(const std::string &exe, const std::string &input, int runs) {
    SimTiming best;
    for (int i = 0; i < runs; i++) {
        SimProcess p;
        int64_t t0 = bench_mono_us();
        if (sim_start(exe, {{"VEX_SMOOTH", "0"}}, input, &p) < 0) return best;
        int status = sim_wait(&p);
        int64_t us = bench_mono_us() - t0;
        std::string log = bench_read_text(p.dir + "/stderr");
        if (status != 0) {
            fprintf(stderr, "bench: vex-mpp-sim exited with %d; log in %s\n", status,
                    p.dir.c_str());
            return SimTiming{};
        }
        sim_cleanup(&p);
        if (best.us < 0 || us < best.us) {
            best.us = us;
            best.decoded = after(log, "vex-sim: decoder produced ");
            best.shown = after(log, "end of input — dec=");
            size_t s = log.find("end of input");
            if (s != std::string::npos) {
                best.shown = after(log.substr(s), " shown=");
                best.fifo = after(log.substr(s), "fifo/throttle/gate=");
            }
        }
    }
    return best;
}

} // namespace

int main(int argc, char **argv) {
    std::string sim = VEX_SIM_EXE, stream;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--stream"))
            stream = argv[i + 1];
        else if (!strcmp(argv[i], "--runs"))
            runs = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--sim"))
            sim = argv[i + 1];
        else
            stream.clear(), i = argc;
    }
    if (stream.empty() || runs < 1) {
        fprintf(stderr, "usage: bench_throughput --stream FILE [--runs N] [--sim EXE]\n");
        return 2;
    }
    av_log_set_level(AV_LOG_FATAL); // a lone trailing delimiter makes the decoder complain
    const bool hevc = stream.size() > 5 && stream.compare(stream.size() - 5, 5, ".h265") == 0;
    Bytes data;
    std::vector<Bytes> aus;
    if (read_file(stream.c_str(), &data) < 0 || split_access_units(data, hevc, &aus) < 0) return 1;

    int64_t ff_us = -1, board_us = -1;
    for (int i = 0; i < runs; i++) {
        int64_t us = decode_alone(aus, hevc, nullptr);
        if (us > 0 && (ff_us < 0 || us < ff_us)) ff_us = us;
        us = decode_alone(aus, hevc, nullptr, 0, true);
        if (us > 0 && (board_us < 0 || us < board_us)) board_us = us;
    }
    SimTiming idle = time_sim(sim, "/dev/null", runs);
    SimTiming full = time_sim(sim, stream, runs);
    if (ff_us <= 0 || board_us <= 0 || idle.us < 0 || full.us < 0 || full.decoded <= 0) {
        fprintf(stderr, "bench: a run failed\n");
        return 1;
    }
    // The decoder produces one picture per access unit (the trailing delimiter
    // of the file is a unit of its own).
    const double ff_fps = (double)full.decoded * 1e6 / (double)ff_us;
    const int64_t work_us = full.us - idle.us;
    const double sim_fps = (double)full.decoded * 1e6 / (double)work_us;
    const double ratio = sim_fps / ff_fps;
    printf("throughput: %s, %ld frames, best of %d runs\n", stream.c_str(), full.decoded, runs);
    printf("  FFmpeg decoding alone (2 slice threads)   %8.1f frames/s  (%.3f s)\n", ff_fps,
           (double)ff_us / 1e6);
    const double board_fps = (double)full.decoded * 1e6 / (double)board_us;
    printf("  simulated board's decoder alone           %8.1f frames/s  (%.3f s: FFmpeg and a "
           "copy of each picture into its NV12 dmabuf)\n",
           board_fps, (double)board_us / 1e6);
    printf("  vex-mpp-sim, show-on-arrival, unpaced     %8.1f frames/s  (%.3f s run - %.3f s "
           "start-up and exit; %ld shown, %ld mailbox drops)\n",
           sim_fps, (double)full.us / 1e6, (double)idle.us / 1e6, full.shown, full.fifo);
    printf("  ratio to FFmpeg alone %.3f   target >= 0.95: %s\n", ratio,
           ratio >= 0.95 ? "met" : "MISSED");
    printf("  ratio to the simulated decoder alone %.3f (what the program itself costs)\n",
           sim_fps / board_fps);
    return ratio >= 0.95 ? 0 : 3;
}
