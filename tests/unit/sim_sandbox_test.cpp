// The simulated board's sandbox: its path rules, run directories and libc wrappers.
#include "sim/sandbox.h"
#include "sim/sim_env.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

// Read through the wrappers when `path` is one of the fixed paths.
static std::string read_all(const std::string &path) {
    std::string s;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        for (int c; (c = fgetc(f)) != EOF;) s += (char)c;
        fclose(f);
    }
    return s;
}

TEST(SimMapPath, FixedPathsOnlyAndNothingNextToThem) {
    char buf[PATH_MAX];
    auto str = [](const char *s) { return std::string(s ? s : "(null)"); };
    for (const char *p :
         {"/run/vex-fpv/hdmi_mode.tmp", "/tmp/vex-snap-dsi.ppm", "/opt/vex-fpv/standby.png",
          "/sys/class/devfreq/dmc/governor", "/proc/uptime"})
        EXPECT_EQ(str(sim_map_path_in("/r/x", p, buf, PATH_MAX)), std::string("/r/x") + p);
    EXPECT_EQ(str(sim_map_path_in("/r/x", "/dev/shm/a", buf, PATH_MAX)), "/r/x/shm/a");
    EXPECT_EQ(str(sim_map_path_in("/r/x", "/usr/bin/plymouth", buf, PATH_MAX)),
              "/r/x/bin/plymouth");
    // Next to the fixed paths, relative, or already inside the run directory: left alone.
    for (const char *p : {"/run/vex-fpvX", "/tmp/vex-snapdir/x.ppm", "/opt/vex-fpvx/standby.png",
                          "/dev/shmx", "/system", "/proc/uptime2", "/usr/bin/plymouthd",
                          "/dev/dri/card0", "run/vex-fpv/menu", "/r/x/run/vex-fpv/menu"})
        EXPECT_EQ(str(sim_map_path_in("/r/x", p, buf, PATH_MAX)), p);
    // A run directory under a mapped tree: its own paths stay as they are.
    EXPECT_EQ(str(sim_map_path_in("/dev/shm/t", "/dev/shm/t/x", buf, PATH_MAX)), "/dev/shm/t/x");
    errno = 0;
    EXPECT_EQ(sim_map_path_in("/r/x", "/run/vex-fpv/menu", buf, 16), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_TRUE(sim_path_is_dri("/dev/dri/by-path/platform-gpu-card"));
    EXPECT_FALSE(sim_path_is_dri("/dev/drix"));

    EXPECT_EQ(str(sim_shm_path_in("/r", "vex-spi.frame", buf, PATH_MAX)), "/r/shm/vex-spi.frame");
    errno = 0;
    EXPECT_EQ(sim_shm_path_in("/r", "/a/b", buf, PATH_MAX), nullptr);
    EXPECT_EQ(errno, EINVAL);
    // The splash command runs the stand-in, quoted for the shell; nothing else is rewritten.
    EXPECT_EQ(str(sim_rewrite_command_in("/a b/it's", "/usr/bin/plymouth quit", buf, PATH_MAX)),
              "'/a b/it'\\''s/bin/plymouth' quit");
    for (const char *other : {"/usr/bin/plymouthd --mode=boot", "echo /usr/bin/plymouth"})
        EXPECT_EQ(str(sim_rewrite_command_in("/r", other, buf, PATH_MAX)), other);
    EXPECT_EQ(sim_rewrite_command_in("/r", "/usr/bin/plymouth quit", buf, 12), nullptr);
}

TEST(SimSandbox, RunDirsStandInsAndWrappers) {
    // Go on only when open() is the sandbox's: else the calls below would reach the real paths.
    // (Read through a volatile: a compiler may take two symbols for two addresses.)
    void *volatile open_addr = reinterpret_cast<void *>(&open);
    ASSERT_EQ(open_addr, reinterpret_cast<void *>(&__wrap_open));
    // A fresh directory under $TMPDIR, without symbolic links (as run directories are named).
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/vex-sbx-test.XXXXXX";
    char real[PATH_MAX];
    ASSERT_TRUE(mkdtemp(&dir[0]) && realpath(dir.c_str(), real));
    dir = real;
    const std::string run = dir + "/run";
    std::error_code ec;
    // Without VEX_SIM_DIR: a fresh one under $TMPDIR (in a new process, which keeps its own).
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            unsetenv("VEX_SIM_DIR");
            setenv("TMPDIR", dir.c_str(), 1);
            std::string fresh = sim_run_dir();
            bool ok = fresh.rfind(dir + "/vex-sim.", 0) == 0 && fresh == sim_run_dir();
            ok = ok && fs::exists(fresh + "/sys/class/thermal/thermal_zone0/temp");
            fs::remove_all(dir, ec); // the new process's own test directory
            exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "vex-sim: run directory .*/vex-sim\\.");
    // A file put there first is the board's, whatever the knobs say.
    fs::create_directories(run + "/proc");
    std::ofstream(run + "/proc/uptime") << "garbage\n";
    setenv("VEX_SIM_THERMAL_MC", "61250", 1);
    setenv("VEX_SIM_DIR", run.c_str(), 1);
    EXPECT_EQ(std::string(sim_run_dir()), run);
    EXPECT_EQ(read_all("/proc/uptime"), "garbage\n");
    EXPECT_EQ(read_all("/sys/class/thermal/thermal_zone0/temp"), "61250\n");
    // Written, renamed over and removed inside the run directory; shared memory in <run>/shm.
    ASSERT_EQ(mkdir("/run/vex-fpv", 0755), 0);
    for (const char *p : {"/run/vex-fpv/hdmi_mode.tmp", "/tmp/vex-snap.ppm",
                          "/sys/class/devfreq/fde60000.gpu/governor"}) {
        int fd = open(p, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_EQ(write(fd, "abc", 3), 3) << p;
        close(fd);
        EXPECT_EQ(read_all(run + p), "abc") << p;
    }
    ASSERT_EQ(rename("/run/vex-fpv/hdmi_mode.tmp", "/run/vex-fpv/hdmi_mode"), 0);
    EXPECT_EQ(read_all(run + "/run/vex-fpv/hdmi_mode"), "abc");
    EXPECT_EQ(unlink("/run/vex-fpv/hdmi_mode"), 0);
    EXPECT_TRUE(fs::is_empty(run + "/run/vex-fpv", ec));
    int fd = shm_open("/vex-spi.frame", O_RDWR | O_CREAT, 0644);
    EXPECT_TRUE(fd >= 0 && fs::exists(run + "/shm/vex-spi.frame"));
    close(fd);
    EXPECT_EQ(shm_unlink("/vex-spi.frame"), 0);
    EXPECT_FALSE(fs::exists(run + "/shm/vex-spi.frame"));
    // The boot-splash program is the run directory's stand-in.
    EXPECT_EQ(system("/usr/bin/plymouth quit --retain-splash 2>/dev/null"), 0);
    EXPECT_EQ(read_all(run + "/plymouth.log"), "quit --retain-splash\n");
    // /dev/dri belongs to the simulated card: nothing else is done there.
    errno = 0;
    EXPECT_EQ(mkdir("/dev/dri/x", 0755), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(opendir("/dev/dri"), nullptr);
    EXPECT_EQ(open("/dev/dri/no-such-card", O_RDWR), -1);
    unsetenv("VEX_SIM_DIR"), unsetenv("VEX_SIM_THERMAL_MC");
    fs::remove_all(dir, ec);
}
