#pragma once
// Shared pieces of the simulated board: its per-run directory, the mapping of
// the system's fixed paths into it, and the hook by which the simulated KMS
// card is opened.
#include <cstddef>

// The per-run directory of this simulated board: $VEX_SIM_DIR when set (created
// if missing), else a fresh directory made under $TMPDIR (or /tmp) on first use.
// Never null.
const char *sim_run_dir();

// Maps one of the system's fixed paths (/run/vex-fpv/..., /tmp/vex-snap*.ppm,
// /opt/vex-fpv/..., /dev/shm/..., /sys/..., /proc/uptime, /usr/bin/plymouth)
// into the run directory. Returns `buf` holding the mapped path, or `path`
// itself when the path is not one the board maps; null with errno
// ENAMETOOLONG when the mapped path does not fit in `len` bytes.
const char *sim_map_path(const char *path, char *buf, size_t len);

// Opens a simulated DRM card for a path under /dev/dri/. Returns the card's
// file descriptor, or -1 with errno set (ENOENT when the board has no such
// card). Called by the sandbox's open() for every /dev/dri/ path.
int sim_kms_open(const char *path, int flags);

// A count knob "N[,N...]": true when `n` (1 = first) is listed in $name.
bool sim_knob_lists(const char *name, long long n);
