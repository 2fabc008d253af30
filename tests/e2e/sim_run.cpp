#include "tests/e2e/sim_run.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>

#include <gtest/gtest.h>

extern char **environ;

namespace {

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
}

std::vector<char *> c_strings(std::vector<std::string> &v) {
    std::vector<char *> p;
    for (std::string &s : v) p.push_back(&s[0]);
    p.push_back(nullptr);
    return p;
}

// Forks a child with the given standard streams (-1: /dev/null; standard input
// kInputClosed: closed) and execs it.
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> envv, int in_fd, int out_fd,
            int err_fd) {
    std::vector<char *> a = c_strings(argv), e = c_strings(envv);
    pid_t pid = fork();
    if (pid != 0) return pid;
    int null_fd = open("/dev/null", O_RDWR);
    if (in_fd == kInputClosed)
        close(0);
    else
        dup2(in_fd >= 0 ? in_fd : null_fd, 0);
    dup2(out_fd >= 0 ? out_fd : null_fd, 1);
    dup2(err_fd >= 0 ? err_fd : null_fd, 2);
    // Own process group, so that a timeout kills everything it started.
    setpgid(0, 0);
    execve(a[0], a.data(), e.data());
    dprintf(2, "cannot run %s: %s\n", a[0], strerror(errno));
    _exit(127);
}

int64_t mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int decode_status(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

} // namespace

TestDir::TestDir() {
    const testing::TestInfo *t = testing::UnitTest::GetInstance()->current_test_info();
    std::string base = testing::TempDir();
    if (base.empty() || base.back() != '/') base += '/';
    base += "vex-e2e-";
    if (t) base += std::string(t->test_suite_name()) + "." + t->name() + "-";
    base += "XXXXXX";
    std::vector<char> tmpl(base.begin(), base.end());
    tmpl.push_back('\0');
    if (mkdtemp(tmpl.data())) path = tmpl.data();
    EXPECT_FALSE(path.empty()) << "mkdtemp " << base << ": " << strerror(errno);
}

TestDir::~TestDir() {
    if (path.empty()) return;
    if (testing::Test::HasFailure()) {
        printf("run directories kept in %s\n", path.c_str());
        return;
    }
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TestDir::next_board() const {
    std::string p = path + "/run" + std::to_string(runs + 1);
    for (const char *sub : {"", "/board", "/board/run", "/board/run/vex-fpv"})
        mkdir((p + sub).c_str(), 0755);
    return p + "/board";
}

SimRunResult sim_run(TestDir &dir, const SimRunOpts &opts) {
    SimRunResult r;
    r.dir = dir.path + "/run" + std::to_string(++dir.runs);
    const std::string sim_dir = r.board();
    for (const std::string &d : {r.dir, sim_dir}) mkdir(d.c_str(), 0755);

    std::vector<std::string> envv;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "VEX_", 4) != 0) envv.push_back(*e);
    envv.push_back("VEX_SIM_DIR=" + sim_dir);
    if (opts.update_log) envv.push_back("VEX_SIM_UPDATE_LOG=" + sim_dir + "/updates.log");
    for (const auto &kv : opts.env) envv.push_back(kv.first + "=" + kv.second);

    std::vector<std::string> argv{opts.exe.empty() ? std::string(VEX_SIM_EXE) : opts.exe};
    argv.insert(argv.end(), opts.args.begin(), opts.args.end());

    const std::string out_path = r.dir + "/stdout", err_path = r.dir + "/stderr",
                      feed_path = r.dir + "/feed.log";
    int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int in_fd = -1, feed_err_fd = -1;
    int pipe_fds[2] = {-1, -1};
    pid_t feeder = -1;

    if (!opts.feed.empty()) {
        if (pipe2(pipe_fds, O_CLOEXEC) < 0) {
            ADD_FAILURE() << "pipe: " << strerror(errno);
            return r;
        }
        feed_err_fd = open(feed_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::vector<std::string> fargv{VEX_FEED_EXE};
        fargv.insert(fargv.end(), opts.feed.begin(), opts.feed.end());
        fargv.push_back(opts.input);
        std::vector<std::string> fenv;
        for (char **e = environ; *e; e++) fenv.push_back(*e);
        feeder = spawn(fargv, fenv, -1, pipe_fds[1], feed_err_fd);
        in_fd = pipe_fds[0];
    } else if (!opts.input.empty()) {
        in_fd = open(opts.input.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(in_fd, 0) << opts.input << ": " << strerror(errno);
    } else {
        in_fd = opts.input_fd;
    }

    pid_t prog = spawn(argv, envv, in_fd, out_fd, err_fd);
    for (int fd : {in_fd, out_fd, err_fd, feed_err_fd, pipe_fds[1]})
        if (fd >= 0) close(fd);

    const int64_t deadline = mono_ms() + (int64_t)opts.timeout_s * 1000;
    int prog_st = 0, feed_st = 0;
    bool prog_done = prog < 0, feed_done = feeder < 0;
    while (!prog_done || !feed_done) {
        if (!prog_done && waitpid(prog, &prog_st, WNOHANG) == prog) prog_done = true;
        if (!feed_done && waitpid(feeder, &feed_st, WNOHANG) == feeder) feed_done = true;
        if (prog_done && feed_done) break;
        if (mono_ms() > deadline) {
            r.timed_out = true;
            for (pid_t p : {prog_done ? -1 : prog, feed_done ? -1 : feeder}) {
                if (p <= 0) continue;
                kill(-p, SIGKILL);
                kill(p, SIGKILL);
            }
            if (!prog_done) waitpid(prog, &prog_st, 0);
            if (!feed_done) waitpid(feeder, &feed_st, 0);
            break;
        }
        usleep(5000);
    }
    EXPECT_GE(prog, 0) << "fork failed";
    r.status = decode_status(prog_st);
    r.out = read_file(out_path);
    r.log = read_file(err_path);
    r.feed_log = read_file(feed_path);
    if (feeder >= 0 && !r.timed_out) {
        EXPECT_EQ(decode_status(feed_st), 0) << "vex-feed failed: " << r.feed_log;
    }
    return r;
}

SimThread::SimThread(TestDir &dir, SimRunOpts opts, bool held, const char *loop)
    : board(dir.next_board()) {
    int p[2];
    if (held && pipe2(p, O_CLOEXEC) == 0) {
        signal(SIGPIPE, SIG_IGN); // a program that ended early fails the test, not the binary
        opts.input_fd = p[0], input = p[1];
    }
    thread = std::thread([this, &dir, opts] {
        r = sim_run(dir, opts);
        done = true;
    });
    if (!loop || input < 0) return;
    feeder = std::thread([this, s = read_file(stream_path(loop))] {
        for (size_t at = 0; !closing && !s.empty(); usleep(16000)) {
            const size_t n = std::min<size_t>(8192, s.size() - at);
            if (write(input, s.data() + at, n) < 0) break;
            at = (at + n) % s.size();
        }
    });
}

const SimRunResult &SimThread::join() {
    closing = true;
    if (feeder.joinable()) feeder.join();
    if (input >= 0) close(input);
    input = -1;
    if (thread.joinable()) thread.join();
    return r;
}

std::string SimThread::log() const {
    return read_file(board + "/../stderr");
}

bool SimThread::wait_log(const std::string &needle, int ms) const {
    return wait_for([&] { return has_line(log(), needle); }, ms);
}

std::string stream_path(const char *name) {
    return std::string(VEX_TEST_STREAMS) + "/" + name;
}

long stream_frames(const char *name) {
    std::string s = read_file(stream_path(name) + ".frames");
    return s.empty() ? -1 : strtol(s.c_str(), nullptr, 10);
}

std::vector<std::string> log_lines(const std::string &log) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < log.size()) {
        size_t nl = log.find('\n', pos);
        if (nl == std::string::npos) nl = log.size();
        lines.push_back(log.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

int count_lines(const std::string &log, const std::string &needle) {
    int n = 0;
    for (const std::string &l : log_lines(log))
        if (l.find(needle) != std::string::npos) n++;
    return n;
}

bool has_line(const std::string &log, const std::string &needle) {
    return find_line(log, needle) >= 0;
}

int find_line(const std::string &log, const std::string &needle, int from, bool whole) {
    std::vector<std::string> lines = log_lines(log);
    for (int i = from < 0 ? 0 : from; i < (int)lines.size(); i++)
        if (whole ? lines[i] == needle : lines[i].find(needle) != std::string::npos) return i;
    return -1;
}

void expect_in_order(const std::string &log, const std::vector<std::string> &lines,
                     const std::string &what, bool whole) {
    int at = 0;
    for (const std::string &l : lines)
        if ((at = find_line(log, l, at, whole) + 1) == 0) {
            ADD_FAILURE() << "missing or out of order: " << l << "\n" << what;
            return;
        }
}

std::vector<std::vector<long long>> match_lines(const std::string &log, const std::string &re,
                                                int from) {
    const std::regex rx(re);
    std::smatch m;
    std::vector<std::vector<long long>> all;
    const std::vector<std::string> lines = log_lines(log);
    for (size_t i = from < 0 ? 0 : (size_t)from; i < lines.size(); i++) {
        if (!std::regex_match(lines[i], m, rx)) continue;
        all.emplace_back();
        for (size_t g = 1; g < m.size(); g++) all.back().push_back(atoll(m[g].str().c_str()));
    }
    return all;
}

long long number_after(const std::string &log, const std::string &prefix) {
    size_t p = log.find(prefix);
    if (p == std::string::npos) return -1;
    const char *s = log.c_str() + p + prefix.size();
    char *end;
    long long v = strtoll(s, &end, 10);
    return end == s ? -1 : v;
}

long long sim_decoded(const SimRunResult &r) {
    return number_after(r.log, "vex-sim: decoder produced ");
}

EndCounts end_counts(const SimRunResult &r) {
    const auto m = match_lines(r.log, "vex-mpp: end of input — dec=(\\d+) shown=(\\d+) dropped "
                                      "fifo/throttle/gate=(\\d+)/(\\d+)/(\\d+)");
    EndCounts c;
    if (m.size() == 1) c = {m[0][0], m[0][1], m[0][2], m[0][3], m[0][4]};
    return c;
}

std::vector<PlaneUpdate> read_updates(const std::string &board, const std::string &output) {
    std::vector<PlaneUpdate> v;
    for (const std::string &l : log_lines(read_file(board + "/updates.log"))) {
        PlaneUpdate u;
        char out[64], fmt[8] = "";
        auto &s = u.src;
        auto &d = u.dst;
        if (sscanf(l.c_str(),
                   "%lld %63s plane=%u fb=%u fmt=%7s src=%lf,%lf,%lfx%lf dst=%d,%d,%dx%d zpos=%d",
                   &u.us, out, &u.plane, &u.fb, fmt, &s[0], &s[1], &s[2], &s[3], &d[0], &d[1],
                   &d[2], &d[3], &u.zpos) < 4 ||
            (!output.empty() && output != out))
            continue;
        u.output = out;
        u.fmt = fmt;
        const size_t bp = l.find(" buf=");
        if (bp != std::string::npos) u.buf = l.substr(bp + 5, l.find(' ', bp + 5) - bp - 5);
        const size_t st = l.find(" stamp=");
        if (st != std::string::npos) u.stamp = atoi(l.c_str() + st + 7);
        v.push_back(u);
    }
    return v;
}

std::vector<std::pair<int, long long>> first_shown(const std::string &board,
                                                   const std::string &output) {
    std::vector<std::pair<int, long long>> v;
    std::set<int> seen;
    for (const PlaneUpdate &u : read_updates(board, output))
        if (u.fb && u.stamp >= 0 && seen.insert(u.stamp).second) v.emplace_back(u.stamp, u.us);
    return v;
}

std::vector<long long> feed_write_begun(const std::string &log_path) {
    std::vector<long long> v;
    for (const std::string &l : log_lines(read_file(log_path)))
        v.push_back(atoll(l.substr(l.rfind(' ') + 1).c_str()));
    return v;
}

std::string read_file(const std::string &path) {
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    fclose(f);
    return s;
}

bool put_file(const std::string &path, const std::string &text, time_t stamp) {
    const std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f) return false;
    const bool written = fwrite(text.data(), 1, text.size(), f) == text.size();
    if (fclose(f) != 0 || !written) return false;
    const timespec t[2] = {{stamp, 0}, {stamp, 0}};
    if (stamp && utimensat(AT_FDCWD, tmp.c_str(), t, 0) != 0) return false;
    return rename(tmp.c_str(), path.c_str()) == 0;
}

CtlResult vexctl(const std::string &board, const std::vector<std::string> &args) {
    CtlResult r;
    // An empty or root board would make --dir the machine's own run directory.
    char real[PATH_MAX];
    if (board.empty() || !realpath(board.c_str(), real) || strcmp(real, "/") == 0) {
        ADD_FAILURE() << "vexctl: '" << board << "' is not a run's board directory";
        return r;
    }
    std::vector<std::string> argv{VEX_CTL_EXE, "--dir", board + "/run/vex-fpv"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envv;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "VEX_", 4) != 0) envv.push_back(*e);
    const std::string out_path = board + "/../vexctl.stdout",
                      err_path = board + "/../vexctl.stderr";
    const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = spawn(argv, envv, -1, out_fd, err_fd);
    for (int fd : {out_fd, err_fd})
        if (fd >= 0) close(fd);
    int st = 0;
    const int64_t deadline = mono_ms() + 10000;
    while (pid > 0 && waitpid(pid, &st, WNOHANG) != pid) {
        if (mono_ms() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            ADD_FAILURE() << "vexctl did not finish";
            break;
        }
        usleep(2000);
    }
    r.status = pid > 0 ? decode_status(st) : -1;
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}

bool steer(const std::string &board, const std::vector<std::string> &args) {
    const CtlResult r = vexctl(board, args);
    if (r.status == 0) return true;
    std::string cmd = "vexctl";
    for (const std::string &a : args) cmd += " " + a;
    ADD_FAILURE() << cmd << ": exit status " << r.status << "\n" << r.err;
    return false;
}

bool wait_for(const std::function<bool()> &cond, int ms) {
    for (const int64_t end = mono_ms() + ms; !cond(); usleep(20000))
        if (mono_ms() >= end) return false;
    return true;
}

bool screenshot_now(const std::string &board, const std::vector<std::string> &outputs,
                    std::vector<TestImage> *shots, int ms) {
    std::vector<std::string> paths;
    std::string names;
    for (const std::string &o : outputs) {
        paths.push_back(board + "/screen-" + o + ".png");
        unlink(paths.back().c_str());
        names += o + "\n";
    }
    const std::string trigger = board + "/screenshot";
    struct stat st;
    // Served once the card has written every picture and removed the trigger.
    auto served = [&] {
        if (stat(trigger.c_str(), &st) == 0) return false;
        for (const std::string &p : paths)
            if (stat(p.c_str(), &st) != 0) return false;
        return true;
    };
    if (!put_file(trigger, names) || !wait_for(served, ms)) return false;
    shots->assign(paths.size(), TestImage{});
    for (size_t i = 0; i < paths.size(); i++)
        if (!png_read(paths[i], &(*shots)[i])) return false;
    return true;
}

uint32_t over(uint32_t argb, uint32_t below) {
    const uint32_t a = argb >> 24;
    uint32_t out = 0;
    for (int sh : {16, 8, 0})
        out |= ((argb >> sh & 0xff) * a + (below >> sh & 0xff) * (255 - a) + 127) / 255 << sh;
    return out;
}

Spot spot(const TestImage &img, uint32_t rgb, int x, int y, int w, int h) {
    Spot p;
    for (int j = y; j < img.h && j - y < h; j++)
        for (int i = x; i < img.w && i - x < w; i++) {
            if ((img.at(i, j) & 0xffffff) != rgb) continue;
            p.n++, p.x0 = std::min(p.x0, i), p.x1 = std::max(p.x1, i);
            p.y0 = std::min(p.y0, j), p.y1 = std::max(p.y1, j);
        }
    return p;
}

std::string describe(const SimRunResult &r) {
    std::string s = "status " + std::to_string(r.status) + (r.timed_out ? " (timed out)" : "") +
                    ", run directory " + r.dir + "\n--- log ---\n" + r.log;
    if (!r.feed_log.empty()) s += "--- vex-feed ---\n" + r.feed_log;
    return s;
}
