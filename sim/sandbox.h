#pragma once
// The sandbox of the simulated board: the pure rules by which the system's
// fixed paths, shared-memory names and the boot-splash command are moved into
// the run directory. The run directory itself, and the libc wrappers that
// apply these rules, are declared in sim/sim_env.h and defined in
// sim/sandbox.cpp.
#include <cstddef>

// Maps `path` into the run directory `run` (absolute, no trailing slash).
// Returns `buf` holding the mapped path; `path` itself when it is null,
// relative, not one of the fixed paths, or already inside `run`; null with
// errno ENAMETOOLONG when the mapped path does not fit in `len` bytes.
const char *sim_map_path_in(const char *run, const char *path, char *buf, size_t len);

// True when `path` is one that sim_map_path_in() would move (whatever the
// run directory), so that callers can leave other paths alone cheaply.
bool sim_path_is_mapped(const char *path);

// True for "/dev/dri" and paths under it: the simulated KMS card answers those.
bool sim_path_is_dri(const char *path);

// The file standing in for the POSIX shared-memory object `name` ("/name" or
// "name"): `run`/shm/name. Null with errno EINVAL for an empty name or one with
// a slash after its leading ones, ENAMETOOLONG when it does not fit.
const char *sim_shm_path_in(const char *run, const char *name, char *buf, size_t len);

// A shell command that starts with the boot-splash program "/usr/bin/plymouth"
// gets the run directory's stand-in instead (quoted for the shell); other
// commands are returned as they are. Null with errno ENAMETOOLONG when the
// rewritten command does not fit.
const char *sim_rewrite_command_in(const char *run, const char *cmd, char *buf, size_t len);

// The wrapper that replaces open() in everything linked with the simulator's
// wrapping; its address tells a test that the wrapping is in effect.
extern "C" int __wrap_open(const char *path, int flags, ...);
