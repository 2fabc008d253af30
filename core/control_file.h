#pragma once
// Control files are polled, never watched: a poll compares the file's
// modification time with the remembered one and re-reads the file only on a
// change.
#include <cstdio>
#include <ctime>

enum class ControlPoll {
    missing,   // the file cannot be looked at
    unchanged, // same modification time (or it could not be opened)
    opened,    // changed: *file is open for reading, the caller closes it
};

// Polls the control file at `path`; on a new modification time it is
// remembered in *mtime and the file is opened into *file.
ControlPoll poll_control_file(const char *path, timespec *mtime, FILE **file);
