#pragma once
// Harness for end-to-end runs of the simulated board binary: starts it with a
// fresh run directory and a chosen environment, feeds its standard input from
// a file (directly or paced through vex-feed), captures the log and the exit
// status, and kills it when it does not finish in time.
#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/unit/png_io.h"

struct SimRunOpts {
    std::string exe;                                      // default: vex-mpp-sim
    std::vector<std::string> args;                        // arguments after the program name
    std::vector<std::pair<std::string, std::string>> env; // added to the cleaned environment
    std::string input;                                    // file on standard input; empty: none
    std::vector<std::string> feed;                        // vex-feed options; empty: no feeder
    int timeout_s = 10;                                   // then killed: a failed run, not a hang
};

struct SimRunResult {
    int status = -1;        // exit status; 128 + signal when killed by one
    bool timed_out = false; // killed after the timeout
    std::string out;        // standard output
    std::string log;        // standard error
    std::string feed_log;   // vex-feed's standard error
    std::string dir;        // the run directory (VEX_SIM_DIR)
};

// A fresh temporary directory for one test, removed by the destructor unless
// the test failed (it is then kept and its path printed).
struct TestDir {
    std::string path;
    int runs = 0;
    TestDir();
    ~TestDir();
    std::string fresh_subdir(const char *prefix);
};

// Runs the program once in a fresh run directory under `dir`. Variables of
// the caller's environment beginning with "VEX_" are not passed on.
SimRunResult sim_run(TestDir &dir, const SimRunOpts &opts);

// Path of a generated test stream, and its picture count (-1 when unknown).
std::string stream_path(const char *name);
long stream_frames(const char *name);

// Log helpers (lines without their trailing newline).
std::vector<std::string> log_lines(const std::string &log);
// Number of lines containing `needle`.
int count_lines(const std::string &log, const std::string &needle);
bool has_line(const std::string &log, const std::string &needle);
// Index of the first line containing `needle` at or after line `from`, or -1.
int find_line(const std::string &log, const std::string &needle, int from = 0);
// The number that follows the first occurrence of `prefix` in the log, or -1.
long long number_after(const std::string &log, const std::string &prefix);
// Frames the simulated decoder handed back ("vex-sim: decoder produced N frames"), or -1.
long long sim_decoded(const SimRunResult &r);

// A whole file ("" when it cannot be read).
std::string read_file(const std::string &path);
// Writes a file whole under a ".tmp" name and renames it into place, as the
// program's control files are written; with stamp != 0 the modification time
// is set to that second first. false on failure.
bool put_file(const std::string &path, const std::string &text, time_t stamp = 0);
// Polls cond every 20 ms until it holds (true) or `ms` have passed since the
// call (false; the time cond takes counts).
bool wait_for(const std::function<bool()> &cond, int ms);

// Screenshots of the outputs of a running program (connector names such as
// "HDMI-A-1"), in that order: writes the trigger file <sim_dir>/screenshot,
// which the simulated card serves at its next display call, and reads the
// screen-<name>.png files it writes. false when they have not all come within
// `ms` or one cannot be read.
bool screenshot_now(const std::string &sim_dir, const std::vector<std::string> &outputs,
                    std::vector<TestImage> *shots, int ms = 5000);

// Everything worth seeing when an assertion about a run fails.
std::string describe(const SimRunResult &r);
