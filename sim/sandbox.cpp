// The sandbox of the simulated board.
//
// The product opens its fixed paths (/run/vex-fpv, /opt/vex-fpv, /tmp/vex-snap*,
// /dev/shm, sysfs, /proc/uptime, /usr/bin/plymouth, /dev/dri) through libc by
// their ordinary names. The simulator links it with GNU ld's --wrap for those
// libc calls; the __wrap_ functions here move the paths into a per-run
// directory and hand /dev/dri to the simulated KMS card. Calls made from inside
// shared libraries are not wrapped, and need not be.
//
// Every call below that names a file goes through __real_ on purpose: this
// object is linked with the same wrapping as the rest.
#include "sim/sandbox.h"
#include "sim/sim_env.h"

#include <array>
#include <initializer_list>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

extern "C" {
int __real_open(const char *path, int flags, ...);
int __real_open64(const char *path, int flags, ...);
int __real_openat(int dirfd, const char *path, int flags, ...);
int __real_openat64(int dirfd, const char *path, int flags, ...);
int __real___open_2(const char *path, int flags);
int __real___open64_2(const char *path, int flags);
int __real___openat_2(int dirfd, const char *path, int flags);
int __real___openat64_2(int dirfd, const char *path, int flags);
int __real_creat(const char *path, mode_t mode);
int __real_creat64(const char *path, mode_t mode);
FILE *__real_fopen(const char *path, const char *mode);
FILE *__real_fopen64(const char *path, const char *mode);
int __real_stat(const char *path, struct stat *st);
int __real_stat64(const char *path, struct stat64 *st);
int __real_lstat(const char *path, struct stat *st);
int __real_lstat64(const char *path, struct stat64 *st);
int __real_fstatat(int dirfd, const char *path, struct stat *st, int flags);
int __real_fstatat64(int dirfd, const char *path, struct stat64 *st, int flags);
int __real_access(const char *path, int how);
int __real_faccessat(int dirfd, const char *path, int how, int flags);
int __real_mkdir(const char *path, mode_t mode);
int __real_rmdir(const char *path);
int __real_unlink(const char *path);
int __real_remove(const char *path);
int __real_rename(const char *from, const char *to);
int __real_truncate(const char *path, off_t size);
int __real_truncate64(const char *path, off64_t size);
DIR *__real_opendir(const char *path);
ssize_t __real_readlink(const char *path, char *buf, size_t size);
int __real_system(const char *cmd);
FILE *__real_popen(const char *cmd, const char *mode);
}

// Stand-in until the simulated KMS card is linked: the board has no card.
__attribute__((weak)) int sim_kms_open(const char *, int) {
    errno = ENOENT;
    return -1;
}

// ---------------------------------------------------------------------------
// Pure rules

namespace {

enum class Match {
    tree,        // the path itself and everything below it
    exact,       // the path itself only
    name_prefix, // names in the same directory that begin with it
};

struct MapRule {
    const char *from;
    const char *to; // appended to the run directory
    Match match;
};

constexpr std::array<MapRule, 7> map_rules{{
    {"/run/vex-fpv", "/run/vex-fpv", Match::tree},
    {"/tmp/vex-snap", "/tmp/vex-snap", Match::name_prefix},
    {"/opt/vex-fpv", "/opt/vex-fpv", Match::tree},
    {"/dev/shm", "/shm", Match::tree},
    {"/sys", "/sys", Match::tree},
    {"/proc/uptime", "/proc/uptime", Match::exact},
    {"/usr/bin/plymouth", "/bin/plymouth", Match::exact},
}};

constexpr const char plymouth_path[] = "/usr/bin/plymouth";

const MapRule *find_rule(const char *path) {
    if (!path || path[0] != '/') return nullptr;
    for (const MapRule &r : map_rules) {
        size_t n = strlen(r.from);
        if (strncmp(path, r.from, n) != 0) continue;
        const char *rest = path + n;
        switch (r.match) {
            case Match::tree:
                if (*rest == '\0' || *rest == '/') return &r;
                break;
            case Match::exact:
                if (*rest == '\0') return &r;
                break;
            case Match::name_prefix:
                if (!strchr(rest, '/')) return &r;
                break;
        }
    }
    return nullptr;
}

bool inside(const char *path, const char *dir) {
    size_t n = strlen(dir);
    return n > 0 && strncmp(path, dir, n) == 0 && (path[n] == '\0' || path[n] == '/');
}

// Writes `parts` one after another into buf; false (errno ENAMETOOLONG) when they do not fit.
bool join(char *buf, size_t len, std::initializer_list<const char *> parts) {
    if (len == 0) {
        errno = ENAMETOOLONG;
        return false;
    }
    size_t at = 0;
    for (const char *p : parts) {
        size_t n = strlen(p);
        if (at + n >= len) {
            errno = ENAMETOOLONG;
            return false;
        }
        memcpy(buf + at, p, n);
        at += n;
    }
    buf[at] = '\0';
    return true;
}

} // namespace

bool sim_path_is_mapped(const char *path) {
    return find_rule(path) != nullptr;
}

bool sim_path_is_dri(const char *path) {
    return path && strncmp(path, "/dev/dri", 8) == 0 && (path[8] == '\0' || path[8] == '/');
}

const char *sim_map_path_in(const char *run, const char *path, char *buf, size_t len) {
    const MapRule *r = find_rule(path);
    if (!r || inside(path, run)) return path;
    if (!join(buf, len, {run, r->to, path + strlen(r->from)})) return nullptr;
    return buf;
}

const char *sim_shm_path_in(const char *run, const char *name, char *buf, size_t len) {
    if (!name) {
        errno = EINVAL;
        return nullptr;
    }
    while (*name == '/') name++;
    if (*name == '\0' || strchr(name, '/')) {
        errno = EINVAL;
        return nullptr;
    }
    if (!join(buf, len, {run, "/shm/", name})) return nullptr;
    return buf;
}

const char *sim_rewrite_command_in(const char *run, const char *cmd, char *buf, size_t len) {
    constexpr size_t n = sizeof plymouth_path - 1;
    if (!cmd || strncmp(cmd, plymouth_path, n) != 0) return cmd;
    const char *rest = cmd + n;
    if (*rest != '\0' && *rest != ' ' && *rest != '\t' && *rest != '\n' && *rest != ';' &&
        *rest != '&' && *rest != '|')
        return cmd;
    // Single-quote the stand-in's path: a quote inside becomes '\''.
    size_t at = 0;
    auto put = [&](const char *s) {
        for (; *s; s++) {
            if (at + 1 >= len) return false;
            buf[at++] = *s;
        }
        return true;
    };
    bool ok = put("'");
    for (const char *s = run; ok && *s; s++) {
        char one[2] = {*s, '\0'};
        ok = *s == '\'' ? put("'\\''") : put(one);
    }
    ok = ok && put("/bin/plymouth'") && put(rest);
    if (!ok || len == 0) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    buf[at] = '\0';
    return buf;
}

// ---------------------------------------------------------------------------
// The run directory

namespace {

std::mutex g_sbx_lock;       // guards everything below
char g_run_dir[PATH_MAX];    // the run directory; empty until first use
char g_run_from[PATH_MAX];   // the VEX_SIM_DIR it was made from; empty when made by mkdtemp
bool g_uptime_live;          // /proc/uptime is generated on every open
double g_uptime_base;        // seconds it reads at the start of the run
struct timespec g_uptime_t0; // monotonic time of the start of the run

double env_double(const char *name, double dflt) {
    const char *v = getenv(name);
    return v && *v ? strtod(v, nullptr) : dflt;
}

void mkdir_p(const char *path) {
    char buf[PATH_MAX];
    if (!join(buf, sizeof buf, {path})) return;
    for (char *p = buf + 1; *p; p++) {
        if (*p != '/') continue;
        *p = '\0';
        __real_mkdir(buf, 0755);
        *p = '/';
    }
    __real_mkdir(buf, 0755);
}

// Creates run/rel with `text` unless a file of that name exists already.
void write_new(const char *run, const char *rel, const char *text, mode_t mode) {
    char path[PATH_MAX];
    if (!join(path, sizeof path, {run, rel})) return;
    int fd = __real_open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return;
    size_t len = strlen(text);
    if (write(fd, text, len) != static_cast<ssize_t>(len))
        fprintf(stderr, "vex-sim: short write to %s\n", path);
    close(fd);
}

// The board's default standby picture, written to opt/vex-fpv/standby.png.
constexpr unsigned char standby_png[] = {
#include "sim/standby_png.inc"
};

// Creates run/rel with `len` bytes of `data` unless a file of that name exists already.
void write_new_bytes(const char *run, const char *rel, const void *data, size_t len) {
    char path[PATH_MAX];
    if (!join(path, sizeof path, {run, rel})) return;
    int fd = __real_open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, data, len) != static_cast<ssize_t>(len))
        fprintf(stderr, "vex-sim: short write to %s\n", path);
    close(fd);
}

void make_dir(const char *run, const char *rel) {
    char path[PATH_MAX];
    if (join(path, sizeof path, {run, rel})) mkdir_p(path);
}

// The board's stand-ins; files that exist already are kept.
void populate(const char *run) {
    make_dir(run, "/run");
    make_dir(run, "/tmp");
    make_dir(run, "/opt/vex-fpv");
    write_new_bytes(run, "/opt/vex-fpv/standby.png", standby_png, sizeof standby_png);
    make_dir(run, "/shm");
    make_dir(run, "/proc");

    char text[64];
    make_dir(run, "/sys/class/thermal/thermal_zone0");
    snprintf(text, sizeof text, "%ld\n",
             static_cast<long>(env_double("VEX_SIM_THERMAL_MC", 48500)));
    write_new(run, "/sys/class/thermal/thermal_zone0/temp", text, 0644);
    write_new(run, "/sys/class/thermal/thermal_zone0/type", "soc-thermal\n", 0644);

    make_dir(run, "/sys/class/devfreq/fde60000.gpu");
    write_new(run, "/sys/class/devfreq/fde60000.gpu/governor", "simple_ondemand\n", 0644);
    write_new(run, "/sys/class/devfreq/fde60000.gpu/available_governors",
              "userspace powersave simple_ondemand performance\n", 0644);
    write_new(run, "/sys/class/devfreq/fde60000.gpu/cur_freq", "400000000\n", 0644);
    make_dir(run, "/sys/class/devfreq/dmc");
    write_new(run, "/sys/class/devfreq/dmc/governor", "dmc_ondemand\n", 0644);
    write_new(run, "/sys/class/devfreq/dmc/cur_freq", "1056000000\n", 0644);

    char path[PATH_MAX];
    struct stat st;
    g_uptime_live = join(path, sizeof path, {run, "/proc/uptime"}) && __real_stat(path, &st) != 0;
    g_uptime_base = env_double("VEX_SIM_UPTIME", 12300.0);
    clock_gettime(CLOCK_MONOTONIC, &g_uptime_t0);

    const char *no_ply = getenv("VEX_SIM_NO_PLYMOUTH");
    if (!(no_ply && no_ply[0] == '1')) {
        make_dir(run, "/bin");
        write_new(run, "/bin/plymouth",
                  "#!/bin/sh\n"
                  "# Stand-in for the boot-splash program: logs its arguments.\n"
                  "echo \"$*\" >> \"$(dirname \"$0\")/../plymouth.log\"\n"
                  "exit 0\n",
                  0755);
    }
}

// Writes <run>/proc/uptime afresh: the base plus the time since the run began,
// and an idle time of one and a half times that. Called with g_sbx_lock held.
void write_uptime() {
    if (!g_uptime_live) return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    double up = g_uptime_base + static_cast<double>(now.tv_sec - g_uptime_t0.tv_sec) +
                static_cast<double>(now.tv_nsec - g_uptime_t0.tv_nsec) * 1e-9;
    char tmp[PATH_MAX], path[PATH_MAX], text[64], pid[24];
    snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
    if (!join(tmp, sizeof tmp, {g_run_dir, "/proc/.uptime.", pid}) ||
        !join(path, sizeof path, {g_run_dir, "/proc/uptime"}))
        return;
    int fd = __real_open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    int len = snprintf(text, sizeof text, "%.2f %.2f\n", up, up * 1.5);
    bool ok = write(fd, text, static_cast<size_t>(len)) == len;
    close(fd);
    if (!ok || __real_rename(tmp, path) != 0) __real_unlink(tmp);
}

[[noreturn]] void run_dir_failed(const char *what) {
    fprintf(stderr, "vex-sim: cannot make the run directory %s: %s\n", what, strerror(errno));
    abort();
}

// Makes the run directory: from VEX_SIM_DIR when `from` is set, else fresh under
// $TMPDIR. Without one the simulator cannot keep off the real paths: it stops.
void setup_run_dir(const char *from) {
    char made[PATH_MAX];
    if (from) {
        mkdir_p(from);
        if (!realpath(from, g_run_dir)) run_dir_failed(from);
    } else {
        const char *tmp = getenv("TMPDIR");
        if (!join(made, sizeof made, {tmp && *tmp ? tmp : "/tmp", "/vex-sim.XXXXXX"}) ||
            !mkdtemp(made) || !realpath(made, g_run_dir))
            run_dir_failed(made);
    }
    if (!join(g_run_from, sizeof g_run_from, {from ? from : ""})) run_dir_failed(from);
    populate(g_run_dir);
    write_uptime();
    if (!from) fprintf(stderr, "vex-sim: run directory %s\n", g_run_dir);
}

void refresh_uptime() {
    std::lock_guard<std::mutex> hold(g_sbx_lock);
    write_uptime();
}

} // namespace

const char *sim_run_dir() {
    std::lock_guard<std::mutex> hold(g_sbx_lock);
    const char *from = getenv("VEX_SIM_DIR");
    if (from && *from) {
        if (strcmp(from, g_run_from) != 0) setup_run_dir(from);
    } else if (g_run_dir[0] == '\0') {
        setup_run_dir(nullptr);
    }
    return g_run_dir;
}

const char *sim_map_path(const char *path, char *buf, size_t len) {
    if (!sim_path_is_mapped(path)) return path;
    return sim_map_path_in(sim_run_dir(), path, buf, len);
}

// ---------------------------------------------------------------------------
// The wrappers

namespace {

// One path argument as the sandbox sees it. `p` is null (errno set) when the
// call must fail: a path the simulated card does not answer for this call, or
// one that does not fit once mapped.
struct MappedPath {
    char buf[PATH_MAX];
    const char *p;
    bool sysfs = false;

    explicit MappedPath(const char *path) : p(path) {
        if (sim_path_is_dri(path)) {
            errno = ENOENT;
            p = nullptr;
            return;
        }
        if (!sim_path_is_mapped(path)) return;
        p = sim_map_path(path, buf, sizeof buf);
        if (!p || p == path) return;
        sysfs = strncmp(path, "/sys/", 5) == 0;
        if (strcmp(path, "/proc/uptime") == 0) refresh_uptime();
    }
};

bool open_takes_mode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

// Opens `path` with `real` after mapping it; /dev/dri goes to the simulated card.
template <class Real>
int open_mapped(const char *path, int flags, Real real) {
    if (sim_path_is_dri(path)) return sim_kms_open(path, flags);
    MappedPath m(path);
    if (!m.p) return -1;
    // Writing a sysfs attribute replaces its value.
    if (m.sysfs && (flags & O_ACCMODE) == O_WRONLY) flags |= O_TRUNC;
    return real(m.p, flags);
}

// stat() of a /dev/dri path: a character device when the simulated card opens.
template <class St>
int dri_stat(const char *path, St *st) {
    int fd = sim_kms_open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    close(fd);
    memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(226, 0);
    st->st_nlink = 1;
    return 0;
}

template <class St, class Real>
int stat_mapped(const char *path, St *st, Real real) {
    if (sim_path_is_dri(path)) return dri_stat(path, st);
    MappedPath m(path);
    return m.p ? real(m.p, st) : -1;
}

int dri_access(const char *path) {
    int fd = sim_kms_open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    close(fd);
    return 0;
}

} // namespace

extern "C" int __wrap_open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = open_takes_mode(flags) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
    va_end(ap);
    return open_mapped(path, flags, [&](const char *p, int f) { return __real_open(p, f, mode); });
}

extern "C" int __wrap_open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = open_takes_mode(flags) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
    va_end(ap);
    return open_mapped(path, flags,
                       [&](const char *p, int f) { return __real_open64(p, f, mode); });
}

extern "C" int __wrap_openat(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = open_takes_mode(flags) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
    va_end(ap);
    return open_mapped(path, flags,
                       [&](const char *p, int f) { return __real_openat(dirfd, p, f, mode); });
}

extern "C" int __wrap_openat64(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = open_takes_mode(flags) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
    va_end(ap);
    return open_mapped(path, flags,
                       [&](const char *p, int f) { return __real_openat64(dirfd, p, f, mode); });
}

// The checked forms a _FORTIFY_SOURCE build calls when the flags are not constant.
extern "C" int __wrap___open_2(const char *path, int flags) {
    return open_mapped(path, flags, [](const char *p, int f) { return __real___open_2(p, f); });
}

extern "C" int __wrap___open64_2(const char *path, int flags) {
    return open_mapped(path, flags, [](const char *p, int f) { return __real___open64_2(p, f); });
}

extern "C" int __wrap___openat_2(int dirfd, const char *path, int flags) {
    return open_mapped(path, flags,
                       [&](const char *p, int f) { return __real___openat_2(dirfd, p, f); });
}

extern "C" int __wrap___openat64_2(int dirfd, const char *path, int flags) {
    return open_mapped(path, flags,
                       [&](const char *p, int f) { return __real___openat64_2(dirfd, p, f); });
}

extern "C" int __wrap_creat(const char *path, mode_t mode) {
    return open_mapped(path, O_WRONLY | O_CREAT | O_TRUNC,
                       [&](const char *p, int) { return __real_creat(p, mode); });
}

extern "C" int __wrap_creat64(const char *path, mode_t mode) {
    return open_mapped(path, O_WRONLY | O_CREAT | O_TRUNC,
                       [&](const char *p, int) { return __real_creat64(p, mode); });
}

extern "C" FILE *__wrap_fopen(const char *path, const char *mode) {
    MappedPath m(path);
    return m.p ? __real_fopen(m.p, mode) : nullptr;
}

extern "C" FILE *__wrap_fopen64(const char *path, const char *mode) {
    MappedPath m(path);
    return m.p ? __real_fopen64(m.p, mode) : nullptr;
}

extern "C" int __wrap_stat(const char *path, struct stat *st) {
    return stat_mapped(path, st, __real_stat);
}

extern "C" int __wrap_stat64(const char *path, struct stat64 *st) {
    return stat_mapped(path, st, __real_stat64);
}

extern "C" int __wrap_lstat(const char *path, struct stat *st) {
    return stat_mapped(path, st, __real_lstat);
}

extern "C" int __wrap_lstat64(const char *path, struct stat64 *st) {
    return stat_mapped(path, st, __real_lstat64);
}

extern "C" int __wrap_fstatat(int dirfd, const char *path, struct stat *st, int flags) {
    return stat_mapped(path, st, [&](const char *p, struct stat *s) {
        return __real_fstatat(dirfd, p, s, flags);
    });
}

extern "C" int __wrap_fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) {
    return stat_mapped(path, st, [&](const char *p, struct stat64 *s) {
        return __real_fstatat64(dirfd, p, s, flags);
    });
}

extern "C" int __wrap_access(const char *path, int how) {
    if (sim_path_is_dri(path)) return dri_access(path);
    MappedPath m(path);
    return m.p ? __real_access(m.p, how) : -1;
}

extern "C" int __wrap_faccessat(int dirfd, const char *path, int how, int flags) {
    if (sim_path_is_dri(path)) return dri_access(path);
    MappedPath m(path);
    return m.p ? __real_faccessat(dirfd, m.p, how, flags) : -1;
}

namespace {

// Set by a constructor of this program: from then on the sanitizer runtimes
// (when linked in) are up and every mkdir is the program's own. Volatile, so
// that the compiler does not fold the constructor into the initial value.
volatile bool g_program_started;
__attribute__((constructor)) void program_started() {
    g_program_started = true;
}

__attribute__((noinline)) int mkdir_mapped(const char *path, mode_t mode) {
    MappedPath m(path);
    return m.p ? __real_mkdir(m.p, mode) : -1;
}

} // namespace

// A sanitizer runtime linked in statically makes the directories of its
// log_path with mkdir while it starts, before anything (its own shadow memory
// included) is set up: such a call goes straight to libc, untouched and
// uninstrumented, as does every path the sandbox does not map.
extern "C" __attribute__((no_sanitize("address", "undefined", "thread"))) int
__wrap_mkdir(const char *path, mode_t mode) {
    if (!g_program_started) return __real_mkdir(path, mode);
    return mkdir_mapped(path, mode);
}

extern "C" int __wrap_rmdir(const char *path) {
    MappedPath m(path);
    return m.p ? __real_rmdir(m.p) : -1;
}

extern "C" int __wrap_unlink(const char *path) {
    MappedPath m(path);
    return m.p ? __real_unlink(m.p) : -1;
}

extern "C" int __wrap_remove(const char *path) {
    MappedPath m(path);
    return m.p ? __real_remove(m.p) : -1;
}

extern "C" int __wrap_rename(const char *from, const char *to) {
    MappedPath a(from);
    if (!a.p) return -1;
    MappedPath b(to);
    return b.p ? __real_rename(a.p, b.p) : -1;
}

extern "C" int __wrap_truncate(const char *path, off_t size) {
    MappedPath m(path);
    return m.p ? __real_truncate(m.p, size) : -1;
}

extern "C" int __wrap_truncate64(const char *path, off64_t size) {
    MappedPath m(path);
    return m.p ? __real_truncate64(m.p, size) : -1;
}

extern "C" DIR *__wrap_opendir(const char *path) {
    MappedPath m(path);
    return m.p ? __real_opendir(m.p) : nullptr;
}

extern "C" ssize_t __wrap_readlink(const char *path, char *buf, size_t size) {
    MappedPath m(path);
    return m.p ? __real_readlink(m.p, buf, size) : -1;
}

// POSIX shared memory: a plain file <run>/shm/<name>, opened as shm_open() would.
extern "C" int __wrap_shm_open(const char *name, int flags, mode_t mode) {
    char buf[PATH_MAX];
    const char *p = sim_shm_path_in(sim_run_dir(), name, buf, sizeof buf);
    return p ? __real_open(p, flags | O_NOFOLLOW | O_CLOEXEC, mode) : -1;
}

extern "C" int __wrap_shm_unlink(const char *name) {
    char buf[PATH_MAX];
    const char *p = sim_shm_path_in(sim_run_dir(), name, buf, sizeof buf);
    return p ? __real_unlink(p) : -1;
}

namespace {

bool runs_plymouth(const char *cmd) {
    return cmd && strncmp(cmd, plymouth_path, sizeof plymouth_path - 1) == 0;
}

} // namespace

extern "C" int __wrap_system(const char *cmd) {
    if (!runs_plymouth(cmd)) return __real_system(cmd);
    char buf[PATH_MAX + 256];
    const char *c = sim_rewrite_command_in(sim_run_dir(), cmd, buf, sizeof buf);
    return c ? __real_system(c) : -1;
}

extern "C" FILE *__wrap_popen(const char *cmd, const char *mode) {
    if (!runs_plymouth(cmd)) return __real_popen(cmd, mode);
    char buf[PATH_MAX + 256];
    const char *c = sim_rewrite_command_in(sim_run_dir(), cmd, buf, sizeof buf);
    return c ? __real_popen(c, mode) : nullptr;
}
