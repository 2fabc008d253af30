#pragma once
// Where the control and state files are, and how they are written.
#include <string>
#include <vector>

// The file names under the run directory, and the environment variable that
// moves each one in the program (with the same rule for an empty value).
enum class CtlFile { menu, osd, telemetry, connect, tuning, detect, snapshot, state, mode };

// The path of `f`: the program's own environment variable when it names the
// file (VEX_KMS_MENU and VEX_KMS_OSD whenever set, VEX_KMS_DETECT whenever
// set, VEX_KMS_TELEMETRY, VEX_KMS_CONNECT, VEX_KMS_DEWARP_FILE and
// VEX_KMS_STATE when non-empty), else the name under `dir`. The snapshot
// trigger and the mode file have fixed names in the program: always under `dir`.
std::string ctl_path(CtlFile f, const std::string &dir);

// Writes `text` to `path` atomically: a temporary file in the same directory,
// written whole and renamed over `path`, so a reader sees the old file or
// the new one, never a part. The new file's modification time is made to
// differ from the replaced file's, even within one tick of the file system's
// clock, so that a poller comparing times sees every write. Empty on success,
// else the error message.
std::string ctl_write_atomic(const std::string &path, const std::string &text);

// Removes `path`; a missing file is fine. Empty on success, else the message.
std::string ctl_remove(const std::string &path);

// Reads a regular file of at most `cap` bytes without blocking. false when it
// is missing, not a regular file, too large or unreadable.
bool ctl_read_small(const std::string &path, size_t cap, std::string *out);

// The QR matrix of `text` (libqrencode, error correction level M, the smallest
// version that holds it): one string per row, '#' dark and '.' light. Empty
// with a message in *error when it cannot be encoded.
std::vector<std::string> ctl_qr_rows(const std::string &text, std::string *error);
