// The simulated board's sandbox: the path rules, the run directory and the
// libc wrappers that move the system's fixed paths into it.
#include "sim/sandbox.h"
#include "sim/sim_env.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string map_in(const char *run, const char *path) {
    char buf[PATH_MAX];
    const char *r = sim_map_path_in(run, path, buf, sizeof buf);
    return r ? r : "(null)";
}

std::string read_all(const std::string &path) {
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return "(missing)";
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

void write_file(const std::string &path, const char *text) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fputs(text, f);
    fclose(f);
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string make_temp_dir() {
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vex-sbx-test.XXXXXX";
    if (!mkdtemp(&tmpl[0])) return "";
    char real[PATH_MAX];
    return realpath(tmpl.c_str(), real) ? real : tmpl;
}

void remove_tree(const std::string &dir) {
    nftw(
        dir.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

// Each test gets its own run directory through VEX_SIM_DIR.
class SimSandbox : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
        run_ = dir_ + "/run-dir";
        unsetenv("VEX_SIM_THERMAL_MC");
        unsetenv("VEX_SIM_NO_PLYMOUTH");
        unsetenv("VEX_SIM_UPTIME");
    }
    void use_run_dir() {
        setenv("VEX_SIM_DIR", run_.c_str(), 1);
        ASSERT_EQ(std::string(sim_run_dir()), run_);
    }
    void TearDown() override {
        unsetenv("VEX_SIM_DIR");
        if (!dir_.empty()) remove_tree(dir_);
    }
    std::string dir_; // made by the test, removed at its end
    std::string run_; // the run directory, inside dir_
};

} // namespace

TEST(SimMapPath, RulesAndEdges) {
    const char *run = "/r/x";
    struct Case {
        const char *in, *out;
    };
    const Case cases[] = {
        {"/run/vex-fpv", "/r/x/run/vex-fpv"},
        {"/run/vex-fpv/", "/r/x/run/vex-fpv/"},
        {"/run/vex-fpv/menu", "/r/x/run/vex-fpv/menu"},
        {"/run/vex-fpv/hdmi_mode.tmp", "/r/x/run/vex-fpv/hdmi_mode.tmp"},
        {"/run/vex-fpvX", "/run/vex-fpvX"},
        {"/run/vex", "/run/vex"},
        {"/run", "/run"},
        {"/tmp/vex-snap.ppm", "/r/x/tmp/vex-snap.ppm"},
        {"/tmp/vex-snap-dsi.ppm", "/r/x/tmp/vex-snap-dsi.ppm"},
        {"/tmp/vex-snapdir/x.ppm", "/tmp/vex-snapdir/x.ppm"},
        {"/tmp/vex-sim.abc/tmp/vex-snap.ppm", "/tmp/vex-sim.abc/tmp/vex-snap.ppm"},
        {"/tmp/other", "/tmp/other"},
        {"/opt/vex-fpv/standby.png", "/r/x/opt/vex-fpv/standby.png"},
        {"/opt/vex-fpvx/standby.png", "/opt/vex-fpvx/standby.png"},
        {"/opt/ffmpeg-rk/lib", "/opt/ffmpeg-rk/lib"},
        {"/dev/shm/vex-spi.frame", "/r/x/shm/vex-spi.frame"},
        {"/dev/shm", "/r/x/shm"},
        {"/dev/shmx", "/dev/shmx"},
        {"/sys/class/devfreq/fde60000.gpu/governor",
         "/r/x/sys/class/devfreq/fde60000.gpu/governor"},
        {"/sys", "/r/x/sys"},
        {"/system", "/system"},
        {"/proc/uptime", "/r/x/proc/uptime"},
        {"/proc/uptime2", "/proc/uptime2"},
        {"/proc/self/exe", "/proc/self/exe"},
        {"/usr/bin/plymouth", "/r/x/bin/plymouth"},
        {"/usr/bin/plymouthd", "/usr/bin/plymouthd"},
        {"/dev/dri/card0", "/dev/dri/card0"},
        {"/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",
         "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"},
        {"run/vex-fpv/menu", "run/vex-fpv/menu"},
        {"sys/class", "sys/class"},
        {"", ""},
        {"/r/x/run/vex-fpv/menu", "/r/x/run/vex-fpv/menu"},
    };
    for (const Case &c : cases) EXPECT_EQ(map_in(run, c.in), c.out) << c.in;

    // A run directory under a mapped tree: its own paths stay as they are.
    EXPECT_EQ(map_in("/dev/shm/t", "/dev/shm/t/shm/x"), "/dev/shm/t/shm/x");
    EXPECT_EQ(map_in("/dev/shm/t", "/dev/shm/tx"), "/dev/shm/t/shm/tx");

    char null_buf[4];
    EXPECT_EQ(sim_map_path_in(run, nullptr, null_buf, sizeof null_buf), nullptr);
    char small[16];
    errno = 0;
    EXPECT_EQ(sim_map_path_in(run, "/run/vex-fpv/menu", small, sizeof small), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(sim_map_path_in(run, "/tmp/other", small, 0), std::string("/tmp/other"));

    EXPECT_TRUE(sim_path_is_dri("/dev/dri"));
    EXPECT_TRUE(sim_path_is_dri("/dev/dri/by-path/platform-gpu-card"));
    EXPECT_FALSE(sim_path_is_dri("/dev/drix"));
    EXPECT_FALSE(sim_path_is_dri("dev/dri/card0"));
    EXPECT_FALSE(sim_path_is_dri(nullptr));
}

TEST(SimMapPath, ShmNamesAndCommands) {
    char buf[128];
    auto shm = [&](const char *name) {
        errno = 0;
        const char *r = sim_shm_path_in("/r", name, buf, sizeof buf);
        return r ? std::string(r) : "errno " + std::to_string(errno);
    };
    EXPECT_EQ(shm("/vex-spi.frame"), "/r/shm/vex-spi.frame");
    EXPECT_EQ(shm("vex-spi.frame"), "/r/shm/vex-spi.frame");
    EXPECT_EQ(shm("//x"), "/r/shm/x");
    EXPECT_EQ(shm("/a/b"), "errno " + std::to_string(EINVAL));
    EXPECT_EQ(shm("/"), "errno " + std::to_string(EINVAL));
    EXPECT_EQ(shm(""), "errno " + std::to_string(EINVAL));
    EXPECT_EQ(shm(nullptr), "errno " + std::to_string(EINVAL));

    auto cmd = [&](const char *run, const char *c) {
        const char *r = sim_rewrite_command_in(run, c, buf, sizeof buf);
        return r ? std::string(r) : "(null)";
    };
    EXPECT_EQ(cmd("/r", "/usr/bin/plymouth quit --retain-splash 2>/dev/null"),
              "'/r/bin/plymouth' quit --retain-splash 2>/dev/null");
    EXPECT_EQ(cmd("/r", "/usr/bin/plymouth"), "'/r/bin/plymouth'");
    EXPECT_EQ(cmd("/a b/it's", "/usr/bin/plymouth quit"), "'/a b/it'\\''s/bin/plymouth' quit");
    EXPECT_EQ(cmd("/r", "/usr/bin/plymouthd --mode=boot"), "/usr/bin/plymouthd --mode=boot");
    EXPECT_EQ(cmd("/r", "echo /usr/bin/plymouth"), "echo /usr/bin/plymouth");
    char small[12];
    EXPECT_EQ(sim_rewrite_command_in("/r", "/usr/bin/plymouth quit", small, sizeof small), nullptr);
}

TEST_F(SimSandbox, PopulatesRunDirWithStandIns) {
    setenv("VEX_SIM_THERMAL_MC", "61250", 1);
    setenv("VEX_SIM_UPTIME", "7200", 1);
    use_run_dir();

    EXPECT_EQ(read_all(run_ + "/sys/class/thermal/thermal_zone0/temp"), "61250\n");
    const std::string gpu = run_ + "/sys/class/devfreq/fde60000.gpu/";
    EXPECT_EQ(read_all(gpu + "governor"), "simple_ondemand\n");
    EXPECT_EQ(read_all(gpu + "available_governors"),
              "userspace powersave simple_ondemand performance\n");
    EXPECT_TRUE(exists(gpu + "cur_freq"));
    EXPECT_EQ(access((run_ + "/bin/plymouth").c_str(), X_OK), 0);
    EXPECT_TRUE(exists(run_ + "/run"));
    EXPECT_FALSE(exists(run_ + "/run/vex-fpv"));
    EXPECT_TRUE(exists(run_ + "/opt/vex-fpv"));
    EXPECT_TRUE(exists(run_ + "/shm"));
    double up = -1, idle = -1;
    EXPECT_EQ(sscanf(read_all(run_ + "/proc/uptime").c_str(), "%lf %lf", &up, &idle), 2);
    EXPECT_GE(up, 7200.0);
    EXPECT_GT(idle, up);

    // Switching VEX_SIM_DIR switches the run directory.
    const std::string second = dir_ + "/second";
    setenv("VEX_SIM_DIR", second.c_str(), 1);
    EXPECT_EQ(std::string(sim_run_dir()), second);
    EXPECT_EQ(read_all(second + "/sys/class/thermal/thermal_zone0/temp"), "61250\n");
}

TEST_F(SimSandbox, KeepsExistingFilesAndCanLeaveOutPlymouth) {
    // Files the test put there first are the board's, whatever the knobs say.
    for (const char *sub : {"", "/sys", "/sys/class", "/sys/class/thermal",
                            "/sys/class/thermal/thermal_zone0", "/proc"})
        ASSERT_EQ(mkdir((run_ + sub).c_str(), 0755), 0) << sub;
    write_file(run_ + "/sys/class/thermal/thermal_zone0/temp", "1000\n");
    write_file(run_ + "/proc/uptime", "garbage\n");
    setenv("VEX_SIM_THERMAL_MC", "90000", 1);
    setenv("VEX_SIM_NO_PLYMOUTH", "1", 1);
    use_run_dir();

    EXPECT_EQ(read_all("/sys/class/thermal/thermal_zone0/temp"), "1000\n");
    EXPECT_EQ(read_all("/proc/uptime"), "garbage\n");
    errno = 0;
    EXPECT_EQ(access("/usr/bin/plymouth", X_OK), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(system("/usr/bin/plymouth quit --retain-splash 2>/dev/null"), 0);
    EXPECT_FALSE(exists(run_ + "/plymouth.log"));
}

TEST_F(SimSandbox, WrappersRedirectFixedPaths) {
    // Only go on when open() really is the sandbox's: otherwise the calls
    // below would reach the real paths.
    ASSERT_EQ(reinterpret_cast<void *>(&open), reinterpret_cast<void *>(&__wrap_open));
    setenv("VEX_SIM_UPTIME", "3600", 1);
    use_run_dir();

    // Control and state files: created, renamed over, read, removed.
    ASSERT_EQ(mkdir("/run/vex-fpv", 0755), 0);
    EXPECT_TRUE(exists(run_ + "/run/vex-fpv"));
    int fd = open("/run/vex-fpv/hdmi_mode.tmp", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "1920x1080@60\n", 13), 13);
    close(fd);
    ASSERT_EQ(rename("/run/vex-fpv/hdmi_mode.tmp", "/run/vex-fpv/hdmi_mode"), 0);
    EXPECT_EQ(read_all(run_ + "/run/vex-fpv/hdmi_mode"), "1920x1080@60\n");
    EXPECT_FALSE(exists(run_ + "/run/vex-fpv/hdmi_mode.tmp"));
    struct stat st;
    ASSERT_EQ(stat("/run/vex-fpv/hdmi_mode", &st), 0);
    EXPECT_EQ(st.st_size, 13);
    EXPECT_EQ(unlink("/run/vex-fpv/hdmi_mode"), 0);
    EXPECT_NE(access("/run/vex-fpv/hdmi_mode", F_OK), 0);

    FILE *f = fopen("/tmp/vex-snap.ppm", "wb");
    ASSERT_NE(f, nullptr);
    fputs("P6\n1 1\n255\n", f);
    fclose(f);
    EXPECT_EQ(read_all(run_ + "/tmp/vex-snap.ppm"), "P6\n1 1\n255\n");

    // sysfs: the GPU node is listed, and a governor write replaces the value.
    DIR *d = opendir("/sys/class/devfreq");
    ASSERT_NE(d, nullptr);
    bool saw_gpu = false;
    while (struct dirent *e = readdir(d)) saw_gpu |= strcmp(e->d_name, "fde60000.gpu") == 0;
    closedir(d);
    EXPECT_TRUE(saw_gpu);
    fd = open("/sys/class/devfreq/fde60000.gpu/governor", O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "performance", 11), 11);
    close(fd);
    EXPECT_EQ(read_all(run_ + "/sys/class/devfreq/fde60000.gpu/governor"), "performance");

    f = fopen("/proc/uptime", "r");
    ASSERT_NE(f, nullptr);
    double up = -1;
    EXPECT_EQ(fscanf(f, "%lf", &up), 1);
    fclose(f);
    EXPECT_GE(up, 3600.0);

    // Shared memory lands in <run>/shm.
    fd = shm_open("/vex-spi.frame", O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, 16 + 2 * 4 * 2), 0);
    close(fd);
    ASSERT_EQ(stat((run_ + "/shm/vex-spi.frame").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 32);
    EXPECT_EQ(shm_unlink("/vex-spi.frame"), 0);
    EXPECT_FALSE(exists(run_ + "/shm/vex-spi.frame"));

    // The boot-splash program is the run directory's stand-in.
    EXPECT_EQ(access("/usr/bin/plymouth", X_OK), 0);
    EXPECT_EQ(system("/usr/bin/plymouth quit --retain-splash 2>/dev/null"), 0);
    FILE *p = popen("/usr/bin/plymouth --ping", "r");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pclose(p), 0);
    EXPECT_EQ(read_all(run_ + "/plymouth.log"), "quit --retain-splash\n--ping\n");

    // /dev/dri belongs to the simulated card: nothing else is done there.
    errno = 0;
    EXPECT_EQ(mkdir("/dev/dri/x", 0755), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(opendir("/dev/dri"), nullptr);
    EXPECT_EQ(open("/dev/dri/no-such-card", O_RDWR), -1);
    EXPECT_NE(stat("/dev/dri/no-such-card", &st), 0);
}

TEST_F(SimSandbox, MakesAFreshRunDirWithoutVexSimDir) {
    // In a new process (the parent's run directory would otherwise be kept).
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string tmp = dir_;
    EXPECT_EXIT(
        {
            unsetenv("VEX_SIM_DIR");
            setenv("TMPDIR", tmp.c_str(), 1);
            std::string run = sim_run_dir();
            std::string again = sim_run_dir();
            bool ok = run.rfind(tmp + "/vex-sim.", 0) == 0 && run == again &&
                      exists(run + "/sys/class/thermal/thermal_zone0/temp");
            remove_tree(tmp); // this process's own test directory
            exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "vex-sim: run directory .*/vex-sim\\.");
}
