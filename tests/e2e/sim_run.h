#pragma once
// Harness for end-to-end runs of the simulated board binary: starts it with a
// fresh run directory and a chosen environment, feeds its standard input from
// a file (directly or paced through vex-feed), captures the log and the exit
// status, and kills it when it does not finish in time. Also: log matching,
// the card's update log, screenshots and pixel helpers shared by the tests.
#include <array>
#include <atomic>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/unit/png_io.h"

using SimEnv = std::vector<std::pair<std::string, std::string>>;

constexpr int kInputClosed = -2;

struct SimRunOpts {
    std::string exe;               // default: vex-mpp-sim
    std::vector<std::string> args; // arguments after the program name
    SimEnv env;                    // added to the cleaned environment
    std::string input;             // file on standard input; empty: none
    int input_fd = -1;             // else this descriptor, taken over by the run;
                                   // kInputClosed: standard input closed
    std::vector<std::string> feed; // vex-feed options; empty: no feeder
    bool update_log = false;       // the card logs plane updates to <board>/updates.log
    int timeout_s = 10;            // then killed: a failed run, not a hang
};

struct SimRunResult {
    int status = -1;        // exit status; 128 + signal when killed by one
    bool timed_out = false; // killed after the timeout
    std::string out;        // standard output
    std::string log;        // standard error
    std::string feed_log;   // vex-feed's standard error
    std::string dir;        // the run directory
    std::string board() const { return dir + "/board"; } // VEX_SIM_DIR, the program's "/"
};

// A fresh temporary directory for one test, removed by the destructor unless
// the test failed (it is then kept and its path printed).
struct TestDir {
    std::string path;
    int runs = 0;
    TestDir();
    ~TestDir();
    // The board directory of the next run, made now with its run/vex-fpv, so
    // that files can be put there before the program starts.
    std::string next_board() const;
};

// Runs the program once in a fresh run directory under `dir`. Variables of
// the caller's environment beginning with "VEX_" are not passed on.
SimRunResult sim_run(TestDir &dir, const SimRunOpts &opts);

// sim_run on a thread of its own, so that the test can look at the board while
// the program runs. With `held`, standard input is a pipe held open until
// join(), fed with the stream `loop` (when given) over and over, 8 KB every
// 16 ms (about 60 pictures a second of the small streams).
struct SimThread {
    std::string board; // the run's board directory
    SimRunResult r;
    std::atomic<bool> done{false}, closing{false};
    int input = -1; // the held pipe's writing end
    std::thread thread, feeder;
    SimThread(TestDir &dir, SimRunOpts opts, bool held = false, const char *loop = nullptr);
    ~SimThread() { join(); }
    const SimRunResult &join(); // closes the held input first: the end of input
    std::string log() const;    // standard error so far
    // Waits for a log line containing `needle`.
    bool wait_log(const std::string &needle, int ms = 10000) const;
};

// Path of a generated test stream, and its picture count (-1 when unknown).
std::string stream_path(const char *name);
long stream_frames(const char *name);

// Log helpers (lines without their trailing newline).
std::vector<std::string> log_lines(const std::string &log);
// Number of lines containing `needle`.
int count_lines(const std::string &log, const std::string &needle);
bool has_line(const std::string &log, const std::string &needle);
// Index of the first line at or after line `from` containing `needle` (with
// `whole`: equal to it), or -1.
int find_line(const std::string &log, const std::string &needle, int from = 0, bool whole = false);
// Adds a failure, with `what`, unless the lines appear in this order (whole,
// or with `whole` false, as parts of lines).
void expect_in_order(const std::string &log, const std::vector<std::string> &lines,
                     const std::string &what, bool whole = true);
// The numbers captured by `re` in each line at or after line `from` that it
// matches as a whole.
std::vector<std::vector<long long>> match_lines(const std::string &log, const std::string &re,
                                                int from = 0);
// The number that follows the first occurrence of `prefix` in the log, or -1.
long long number_after(const std::string &log, const std::string &prefix);
// Frames the simulated decoder handed back ("vex-sim: decoder produced N frames"), or -1.
long long sim_decoded(const SimRunResult &r);
// The counts of the end-of-input line; all -1 unless the log has exactly one.
struct EndCounts {
    long long dec = -1, shown = -1, fifo = -1, throttle = -1, gate = -1;
};
EndCounts end_counts(const SimRunResult &r);

// One line of the card's update log.
struct PlaneUpdate {
    long long us = 0; // monotonic time
    std::string output, fmt;
    std::string buf;            // the buffer behind the framebuffer ("gbm:<inode>", ...)
    unsigned plane = 0, fb = 0; // fb 0: the plane switched off
    int zpos = -1, stamp = -1;  // stamp: the frame number on the picture, -1: none
    std::array<double, 4> src{};
    std::array<int, 4> dst{};
};
// The updates logged under `board` (those of one output when it is given).
std::vector<PlaneUpdate> read_updates(const std::string &board, const std::string &output = "");
// The stamps put on a plane of `output`, each once, in the order of their
// first commit, with the time of that commit.
std::vector<std::pair<int, long long>> first_shown(const std::string &board,
                                                   const std::string &output);
// When vex-feed began writing each access unit (the last column of its --log file).
std::vector<long long> feed_write_begun(const std::string &log_path);

// A whole file ("" when it cannot be read).
std::string read_file(const std::string &path);
// Writes a file whole under a ".tmp" name and renames it into place, as the
// program's control files are written; with stamp != 0 the modification time
// is set to that second first. false on failure.
bool put_file(const std::string &path, const std::string &text, time_t stamp = 0);
// One run of the control tool vexctl on the run directory of `board` (its
// "/run/vex-fpv", given as --dir), with the caller's environment less its
// VEX_ variables; killed after 10 s. An empty board, or one that is not
// there, is a failure and runs nothing: vexctl never reaches the machine's
// own "/run/vex-fpv".
struct CtlResult {
    int status = -1;
    std::string out, err;
};
CtlResult vexctl(const std::string &board, const std::vector<std::string> &args);
// Steers the program on `board` through vexctl: adds a failure naming the
// command and vexctl's message unless it exits 0, and returns whether it did.
bool steer(const std::string &board, const std::vector<std::string> &args);
// Polls cond every 20 ms until it holds (true) or `ms` have passed since the
// call (false; the time cond takes counts).
bool wait_for(const std::function<bool()> &cond, int ms);

// Screenshots of the outputs of a running program (connector names such as
// "HDMI-A-1"), in that order: writes the trigger file <board>/screenshot,
// which the simulated card serves at its next display call, and reads the
// screen-<name>.png files it writes. false when they have not all come within
// `ms` or one cannot be read.
bool screenshot_now(const std::string &board, const std::vector<std::string> &outputs,
                    std::vector<TestImage> *shots, int ms = 5000);

// An ARGB colour over an opaque RGB one, blended as the card composes planes.
uint32_t over(uint32_t argb, uint32_t below);
// The pixels of exactly one RGB colour inside a box, and their bounds.
struct Spot {
    int n = 0, x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
};
Spot spot(const TestImage &img, uint32_t rgb, int x = 0, int y = 0, int w = 1 << 30,
          int h = 1 << 30);

// Everything worth seeing when an assertion about a run fails.
std::string describe(const SimRunResult &r);
