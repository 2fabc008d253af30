#pragma once
// Control files: the small text files other processes write under
// "/run/vex-fpv" to steer the program (menu, OSD, telemetry, connect,
// detection, live tuning, snapshot triggers). They are outside input: a writer
// may leave anything at a path (a FIFO, a link to a device, a directory, a
// file of many megabytes), and none of it may block the main loop or stall a
// frame.
//
// poll_control_file is the one reader for all of them. Its contract:
// - Polled, never watched: `stat` the path and compare the modification time
//   (seconds and nanoseconds) with the remembered one. Equal: `unchanged`,
//   nothing is opened. A path that cannot be looked at: `missing`.
// - A new time is remembered at once, so a version that cannot be read costs
//   one attempt, not one per pass; it reads as `unchanged`.
// - Only regular files are read. Anything else is never opened (opening a
//   FIFO or a device may block or have effects); a regular file is opened with
//   O_NONBLOCK, and the opened descriptor is looked at again with `fstat`, in
//   case the path was replaced in between. A refused path is logged once per
//   ControlFile.
// - At most control_file_max bytes are read; the rest of a longer file is left
//   unread (logged once per ControlFile). What was read is handed back with a
//   NUL after it, so parsers may treat it as a C string (a NUL byte inside the
//   file ends it there for them).
// - Nothing is allocated; the call costs a `stat` when the file is unchanged,
//   and one read of at most 64 KiB of a regular file when it changed.
// It is not thread-safe for one ControlFile or ControlText; different ones
// may be polled on different threads.
#include <cstddef>
#include <ctime>

constexpr size_t control_file_max = 64 * 1024;

// What is remembered of one control file between polls.
struct ControlFile {
    timespec mtime{};    // modification time last seen; zero before the first
    unsigned warned = 0; // log lines already written for this file
};

// The contents of one read: len bytes in data, then a NUL. It is 64 KiB: give
// it static storage (one per poller), not a place on a small stack.
struct ControlText {
    size_t len = 0;
    char data[control_file_max + 1];
};

enum class ControlPoll {
    missing,   // the path cannot be looked at (absent, or stat failed)
    unchanged, // same modification time, or a new version that cannot be read
    changed,   // a new version: its contents are in *text
};

ControlPoll poll_control_file(const char *path, ControlFile *file, ControlText *text);

// Splits a control file's contents into lines as fgets with a buffer of `size`
// bytes does: a line ends after its '\n', or after size - 1 bytes (a longer
// line is read as several), or at the end of the data.
struct ControlLines {
    const char *p, *end;
    ControlLines(const char *data, size_t len) : p(data), end(data + len) {}
    // Copies the next line with a NUL into line[size]; false at the end.
    bool next(char *line, size_t size);
};
