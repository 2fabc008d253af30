#pragma once
// The process log: one line per message on standard error, each beginning "vex-mpp: ".

// Writes "vex-mpp: " + the formatted text + a newline to standard error as one write.
void vlog(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The same, with ": " and the text of the current errno appended (taken
// before anything else can change errno).
void vlog_errno(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Flushes standard error (after important lines and at the end of every presented frame).
void vlog_flush();
