#include "bench/video_bench.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

extern char **environ;

int64_t bench_mono_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

int64_t bench_self_cpu_us() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ((int64_t)ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000 + ru.ru_utime.tv_usec +
           ru.ru_stime.tv_usec;
}

namespace {

// The receiving end of a hand-over: a thread that waits for each picture and drops it.
struct HandOver {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv = PTHREAD_COND_INITIALIZER;
    AVFrame *frame = nullptr;
    bool done = false;
    pthread_t thread{};

    static void *run(void *arg) {
        auto *h = static_cast<HandOver *>(arg);
        pthread_mutex_lock(&h->lock);
        for (;;) {
            while (!h->frame && !h->done) pthread_cond_wait(&h->cv, &h->lock);
            if (h->frame) av_frame_free(&h->frame);
            if (h->done) break;
        }
        pthread_mutex_unlock(&h->lock);
        return nullptr;
    }
    // Passes `f` over (a picture still waiting is dropped first).
    void give(AVFrame *f) {
        AVFrame *old = nullptr;
        pthread_mutex_lock(&lock);
        old = frame;
        frame = f;
        pthread_mutex_unlock(&lock);
        pthread_cond_signal(&cv);
        av_frame_free(&old);
    }
    void stop() {
        pthread_mutex_lock(&lock);
        done = true;
        pthread_mutex_unlock(&lock);
        pthread_cond_signal(&cv);
        pthread_join(thread, nullptr);
    }
};

AVPixelFormat pick_drm_prime(AVCodecContext *, const AVPixelFormat *fmts) {
    for (const AVPixelFormat *f = fmts; *f != AV_PIX_FMT_NONE; f++)
        if (*f == AV_PIX_FMT_DRM_PRIME) return *f;
    return fmts[0];
}

} // namespace

int64_t decode_alone(const std::vector<Bytes> &aus, bool hevc, std::vector<int64_t> *per_frame,
                     double fps, bool board_decoder, bool hand_over, size_t timed_from,
                     int64_t *cpu_us) {
    const AVCodec *codec = board_decoder
                               ? avcodec_find_decoder_by_name(hevc ? "hevc_rkmpp" : "h264_v4l2m2m")
                               : avcodec_find_decoder(hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!ctx) return -1;
    // The program's decoder settings.
    ctx->thread_count = 2;
    ctx->thread_type = FF_THREAD_SLICE;
    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    ctx->flags2 |= AV_CODEC_FLAG2_FAST;
    if (!hevc) ctx->flags2 |= AV_CODEC_FLAG2_SHOW_ALL;
    if (board_decoder) ctx->get_format = pick_drm_prime;
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    if (!pkt || !frame || avcodec_open2(ctx, codec, nullptr) < 0) {
        av_packet_free(&pkt);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
        return -1;
    }
    if (per_frame) per_frame->assign(aus.size(), 0);
    HandOver h;
    if (hand_over && pthread_create(&h.thread, nullptr, HandOver::run, &h) != 0) hand_over = false;
    // Drops the received picture, or hands it over.
    auto take = [&] {
        if (!hand_over) return av_frame_unref(frame);
        AVFrame *f = av_frame_clone(frame);
        av_frame_unref(frame);
        if (f) h.give(f);
    };
    const int64_t start = bench_mono_us();
    const int64_t period = fps > 0 ? (int64_t)(1e6 / fps) : 0;
    int64_t timed_start = start, cpu_start = bench_self_cpu_us();
    for (size_t i = 0; i < aus.size(); i++) {
        if (i == timed_from && i > 0) {
            timed_start = bench_mono_us();
            cpu_start = bench_self_cpu_us();
        }
        if (period) {
            int64_t due = start + (int64_t)i * period;
            timespec ts{(time_t)(due / 1000000), (long)(due % 1000000) * 1000};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {}
        }
        int64_t t0 = bench_mono_us();
        pkt->data = const_cast<uint8_t *>(aus[i].data());
        pkt->size = (int)aus[i].size();
        if (avcodec_send_packet(ctx, pkt) == 0)
            while (avcodec_receive_frame(ctx, frame) == 0) take();
        if (per_frame) (*per_frame)[i] = bench_mono_us() - t0;
    }
    avcodec_send_packet(ctx, nullptr);
    while (avcodec_receive_frame(ctx, frame) == 0) take();
    const int64_t total = bench_mono_us() - timed_start;
    if (hand_over) h.stop(); // the hand-over thread's CPU is counted up to here
    if (cpu_us) *cpu_us = bench_self_cpu_us() - cpu_start;
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return total;
}

int sim_start(const std::string &exe, const std::vector<std::pair<std::string, std::string>> &env,
              const std::string &input, SimProcess *p) {
    char tmpl[] = "/tmp/vex-bench.XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("mkdtemp");
        return -1;
    }
    p->dir = tmpl;
    std::vector<std::string> envs;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "VEX_", 4) != 0) envs.push_back(*e);
    envs.push_back("VEX_SIM_DIR=" + p->dir + "/board");
    for (const auto &kv : env) envs.push_back(kv.first + "=" + kv.second);
    std::vector<char *> envp;
    for (std::string &s : envs) envp.push_back(&s[0]);
    envp.push_back(nullptr);

    int in = -1, pipe_fds[2] = {-1, -1};
    if (input.empty()) {
        if (pipe2(pipe_fds, O_CLOEXEC) < 0) return -1;
        in = pipe_fds[0];
    } else {
        in = open(input.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) {
            fprintf(stderr, "%s: %s\n", input.c_str(), strerror(errno));
            return -1;
        }
    }
    std::string err_path = p->dir + "/stderr";
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(err, 2);
        char *argv[] = {const_cast<char *>(exe.c_str()), nullptr};
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    close(in);
    close(err);
    if (pid < 0) return -1;
    p->pid = pid;
    p->in_fd = pipe_fds[1];
    return 0;
}

int sim_wait(SimProcess *p) {
    if (p->in_fd >= 0) close(p->in_fd);
    p->in_fd = -1;
    int st = 0;
    while (waitpid(p->pid, &st, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
}

namespace {
int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}
} // namespace

void sim_cleanup(SimProcess *p) {
    if (!p->dir.empty()) nftw(p->dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    p->dir.clear();
}

std::string bench_read_text(const std::string &path) {
    std::string s;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        fclose(f);
    }
    return s;
}

Percentiles percentiles(std::vector<double> v) {
    Percentiles p;
    p.n = v.size();
    if (v.empty()) return p;
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, (size_t)(q * (double)v.size()))]; };
    p.p50 = at(0.50);
    p.p95 = at(0.95);
    p.p99 = at(0.99);
    p.max = v.back();
    return p;
}
