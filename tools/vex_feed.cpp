// vex-feed: plays an Annex B elementary stream access unit by access unit, at
// a steady rate, into standard output or into a child process's standard input.
//
//   vex-feed [options] FILE [-- COMMAND ARGS...]
//     --codec h264|hevc   stream type (default: from the file name, .h265/.hevc = hevc)
//     --fps N             access units per second; 0 = as fast as possible (default 0);
//                         after a blocked write the pace resumes without a catch-up burst
//     --pause-at N        after N access units have been written ...
//     --pause-ms M        ... pause M ms (the rest of the schedule moves by M; after
//                         the last unit: before the end of the stream)
//     --loop K            play the stream K times in all (default 1)
//     --count N           stop after N access units (default: all)
//     --nal-pause-ms M    write each access unit NAL unit by NAL unit, pausing M ms
//                         between them (a sender that sends each slice as it is coded)
//     --log FILE          per access unit "<index> <monotonic µs when fully written> <bytes>
//                         <monotonic µs when its first byte was written>"
//
// With a COMMAND the stream goes to the command's standard input and the exit
// status is the command's (128 + signal when it was killed). A reader that
// goes away (EPIPE) ends the feed quietly.
#include "tools/au_split.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct FeedOpts {
    int hevc = -1; // -1: from the file name
    double fps = 0;
    long pause_at = -1;
    long pause_ms = 0;
    long loops = 1;
    long count = -1;
    long nal_pause_ms = 0;
    const char *log_path = nullptr;
    const char *file = nullptr;
    char **cmd = nullptr;
};

int64_t mono_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

void sleep_until_us(int64_t t) {
    timespec ts{(time_t)(t / 1000000), (long)(t % 1000000) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {}
}

// Writes all of `n` bytes. Returns 0, 1 when the reader has gone, -1 on another error.
int write_all(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EPIPE) return 1;
            fprintf(stderr, "vex-feed: write: %s\n", strerror(errno));
            return -1;
        }
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

bool ends_with(const char *s, const char *suffix) {
    size_t a = strlen(s), b = strlen(suffix);
    return a >= b && !strcmp(s + a - b, suffix);
}

int usage() {
    fprintf(stderr, "usage: vex-feed [--codec h264|hevc] [--fps N] [--pause-at N --pause-ms M]\n"
                    "                [--loop K] [--count N] [--nal-pause-ms M] [--log FILE]\n"
                    "                FILE [-- COMMAND ARGS...]\n");
    return 2;
}

int parse_args(int argc, char **argv, FeedOpts *o) {
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!strcmp(a, "--")) {
            if (i + 1 < argc) o->cmd = argv + i + 1;
            break;
        }
        if (a[0] != '-' || !a[1]) {
            if (o->file) return -1;
            o->file = a;
            continue;
        }
        if (!v) return -1;
        i++;
        if (!strcmp(a, "--codec")) {
            if (!strcmp(v, "hevc") || !strcmp(v, "h265"))
                o->hevc = 1;
            else if (!strcmp(v, "h264"))
                o->hevc = 0;
            else
                return -1;
        } else if (!strcmp(a, "--fps")) {
            o->fps = atof(v);
        } else if (!strcmp(a, "--pause-at")) {
            o->pause_at = atol(v);
        } else if (!strcmp(a, "--pause-ms")) {
            o->pause_ms = atol(v);
        } else if (!strcmp(a, "--loop")) {
            o->loops = atol(v);
        } else if (!strcmp(a, "--count")) {
            o->count = atol(v);
        } else if (!strcmp(a, "--nal-pause-ms")) {
            o->nal_pause_ms = atol(v);
        } else if (!strcmp(a, "--log")) {
            o->log_path = v;
        } else {
            return -1;
        }
    }
    if (!o->file || o->fps < 0 || o->loops < 1 || o->nal_pause_ms < 0) return -1;
    if (o->hevc < 0) o->hevc = ends_with(o->file, ".h265") || ends_with(o->file, ".hevc");
    return 0;
}

// Writes one access unit, NAL unit by NAL unit with a pause between them when
// asked for. Returns as write_all.
int write_unit(const FeedOpts &o, int fd, const Bytes &au) {
    if (o.nal_pause_ms <= 0) return write_all(fd, au.data(), au.size());
    std::vector<Nal> nals = find_nals(au.data(), au.size(), o.hevc != 0);
    size_t from = 0;
    for (size_t k = 0; k < nals.size(); k++) {
        size_t to = k + 1 < nals.size() ? nals[k + 1].start : au.size();
        if (k > 0) sleep_until_us(mono_us() + o.nal_pause_ms * 1000);
        if (int r = write_all(fd, au.data() + from, to - from)) return r;
        from = to;
    }
    return from < au.size() ? write_all(fd, au.data() + from, au.size() - from) : 0;
}

// Plays the access units into `fd`; fills `done_us` with the write-completion
// times and `first_us` with the times the first byte of each unit was written.
int feed(const FeedOpts &o, const std::vector<Bytes> &aus, int fd, std::vector<int64_t> *done_us,
         std::vector<int64_t> *first_us) {
    long total = (long)aus.size() * o.loops;
    if (o.count >= 0 && o.count < total) total = o.count;
    int64_t period = o.fps > 0 ? (int64_t)(1e6 / o.fps) : 0;
    int64_t t0 = mono_us(), shift = 0;
    for (long i = 0; i < total; i++) {
        if (i == o.pause_at && o.pause_ms > 0) {
            shift += o.pause_ms * 1000;
            if (!period) sleep_until_us(mono_us() + o.pause_ms * 1000);
        }
        if (period) {
            int64_t due = t0 + i * period + shift, now = mono_us();
            // A reader that held the feed up does not get a burst to catch up:
            // the pace resumes from here.
            if (now - due > period) shift += now - due;
            sleep_until_us(t0 + i * period + shift);
        }
        const Bytes &au = aus[(size_t)i % aus.size()];
        first_us->push_back(mono_us());
        int r = write_unit(o, fd, au);
        if (r > 0) {
            fprintf(stderr, "vex-feed: reader closed the stream after %ld of %ld access units\n", i,
                    total);
            return 0;
        }
        if (r < 0) return -1;
        done_us->push_back(mono_us());
    }
    // A pause after the last unit holds the end of the stream back.
    if (o.pause_at == total && o.pause_ms > 0) sleep_until_us(mono_us() + o.pause_ms * 1000);
    return 0;
}

int write_log(const char *path, const std::vector<Bytes> &aus, const std::vector<int64_t> &done,
              const std::vector<int64_t> &first) {
    FILE *f = fopen(path, "w");
    if (!f) {
        fprintf(stderr, "vex-feed: cannot create %s: %s\n", path, strerror(errno));
        return -1;
    }
    for (size_t i = 0; i < done.size(); i++)
        fprintf(f, "%zu %lld %zu %lld\n", i, (long long)done[i], aus[i % aus.size()].size(),
                (long long)first[i]);
    return fclose(f) == 0 ? 0 : -1;
}

} // namespace

int main(int argc, char **argv) {
    av_log_set_level(AV_LOG_FATAL); // the parser complains about slices without parameter sets
    FeedOpts o;
    if (parse_args(argc, argv, &o) < 0) return usage();
    Bytes data;
    std::vector<Bytes> aus;
    if (read_file(o.file, &data) < 0 || split_access_units(data, o.hevc, &aus) < 0) return 1;
    if (aus.empty()) {
        fprintf(stderr, "vex-feed: %s holds no access units\n", o.file);
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);

    int fd = STDOUT_FILENO;
    pid_t child = -1;
    if (o.cmd) {
        int p[2];
        if (pipe(p) < 0) {
            perror("vex-feed: pipe");
            return 1;
        }
        child = fork();
        if (child < 0) {
            perror("vex-feed: fork");
            return 1;
        }
        if (child == 0) {
            signal(SIGPIPE, SIG_DFL);
            dup2(p[0], STDIN_FILENO);
            close(p[0]);
            close(p[1]);
            execvp(o.cmd[0], o.cmd);
            fprintf(stderr, "vex-feed: cannot run %s: %s\n", o.cmd[0], strerror(errno));
            _exit(127);
        }
        close(p[0]);
        fd = p[1];
    }

    std::vector<int64_t> done, first;
    done.reserve(aus.size() * (size_t)o.loops);
    first.reserve(aus.size() * (size_t)o.loops);
    int rc = feed(o, aus, fd, &done, &first) < 0 ? 1 : 0;
    if (o.log_path && write_log(o.log_path, aus, done, first) < 0) rc = 1;
    if (child > 0) {
        close(fd);
        int st = 0;
        while (waitpid(child, &st, 0) < 0 && errno == EINTR) {}
        if (WIFEXITED(st)) return WEXITSTATUS(st);
        return 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
    }
    return rc;
}
