#pragma once
// Shared parts of the video benchmarks: the stream's access units, FFmpeg
// decoding them alone in this process, runs of vex-mpp-sim, and percentiles.
#include "tools/au_split.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

int64_t bench_mono_us();

// Decodes the access units with FFmpeg's software decoder set up as the
// simulated board's decoder (two slice threads, no frame threads, the
// program's low-delay and fast flags), or, with `board_decoder` set, with the
// simulated board's hardware decoder itself
// ("h264_v4l2m2m": FFmpeg's decoder plus the copy of each picture into an
// NV12 dmabuf; the benchmarks link the simulated board for it). Fills
// per_frame[i] with the µs spent on access unit i (sending it and receiving
// what it yields) when per_frame is given. With fps > 0 one unit is decoded
// per frame period, as in a live run, else as fast as possible. With
// `hand_over` set, each picture is passed to a second thread waiting for it
// (as a decoding thread hands pictures to a displaying one), which wakes and
// drops it. Returns the µs from the start of access unit `timed_from` to the
// end (the total with 0), or -1; *cpu_us, when given, gets the process's CPU
// µs over the same span.
int64_t decode_alone(const std::vector<Bytes> &aus, bool hevc, std::vector<int64_t> *per_frame,
                     double fps = 0, bool board_decoder = false, bool hand_over = false,
                     size_t timed_from = 0, int64_t *cpu_us = nullptr);

// CPU µs (user and system) this process has used.
int64_t bench_self_cpu_us();

// A started vex-mpp-sim: its process, the write end of its standard input
// (-1 when it reads a file) and its scratch directory.
struct SimProcess {
    int pid = -1;
    int in_fd = -1;
    std::string dir;
};

// Starts `exe` with a fresh scratch directory (VEX_SIM_DIR=<dir>/board, the
// caller's VEX_* variables removed, `env` added). Standard input is a pipe
// when `input` is empty, else that file; standard error goes to <dir>/stderr.
int sim_start(const std::string &exe, const std::vector<std::pair<std::string, std::string>> &env,
              const std::string &input, SimProcess *p);
// Waits for the process; returns its exit status (128 + signal when killed).
int sim_wait(SimProcess *p);
// Removes the scratch directory.
void sim_cleanup(SimProcess *p);

std::string bench_read_text(const std::string &path);

struct Percentiles {
    double p50 = 0, p95 = 0, p99 = 0, max = 0;
    size_t n = 0;
};
Percentiles percentiles(std::vector<double> v);
