// The GPU pass per frame on this machine: a 720p and a 1080p decoded frame
// drawn through gl_dewarp_fb on the simulated board, whose GPU is Mesa's
// software renderer (llvmpipe), not the board's: the figures are for
// comparing changes to the pass, not a prediction for the board. The
// simulator's own work per frame (converting the imported YUV frame into an
// RGB texture, writing the drawn picture back into the ring buffer) is timed
// by the simulator and reported apart. Also prints how many CPU copies of the
// picture the program itself makes: the buffer mappings it makes while the
// frames are drawn (the pass samples the frame and draws into the scan-out
// buffer on the GPU, so none are expected).
//
// Per size and settings: the least and the median time of N frames, the
// spread (90th percentile over the least), the simulator's least share and the
// least time of the pass without it; the ratio sets the pass with every
// stage against lens correction alone, least against least.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <drm_fourcc.h>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <xf86drmMode.h>

#include "core/config.h"
#include "display/output.h"
#include "gpu/gpu_pass.h"
#include "gpu/lut.h"
#include "sim/kms_sim.h"
#include "sim/sim_gpu.h"

extern "C" {
#include <libavutil/hwcontext_drm.h>
}

namespace {

double now_ms() {
    using namespace std::chrono;
    return (double)duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 1e6;
}

// An NV12 frame in a memfd, a colour test pattern.
struct Frame {
    int fd = -1;
    AVDRMFrameDescriptor desc{};
    Frame(int w, int h) {
        const int pitch = (w + 63) / 64 * 64, ph = (h + 15) / 16 * 16;
        const size_t size = (size_t)pitch * ph * 3 / 2;
        fd = memfd_create("bench-nv12", MFD_CLOEXEC);
        if (ftruncate(fd, (off_t)size) != 0) abort();
        auto *m = (uint8_t *)mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) m[(size_t)y * pitch + x] = (uint8_t)(16 + (x + y) % 220);
        for (size_t i = (size_t)pitch * ph; i < size; i++) m[i] = (uint8_t)(64 + i % 128);
        munmap(m, size);
        desc.nb_objects = 1;
        desc.objects[0] = {fd, size, 0};
        desc.nb_layers = 1;
        desc.layers[0].format = DRM_FORMAT_NV12;
        desc.layers[0].nb_planes = 2;
        desc.layers[0].planes[0] = {0, 0, pitch};
        desc.layers[0].planes[1] = {0, (ptrdiff_t)pitch * ph, pitch};
    }
    ~Frame() { close(fd); }
};

void write_identity_cube(const std::string &path, int n) {
    FILE *f = fopen(path.c_str(), "w");
    fprintf(f, "LUT_3D_SIZE %d\n", n);
    for (int b = 0; b < n; b++)
        for (int g = 0; g < n; g++)
            for (int r = 0; r < n; r++)
                fprintf(f, "%f %f %f\n", r / (n - 1.0), g / (n - 1.0), b / (n - 1.0));
    fclose(f);
}

struct Result {
    double total_min, total_med, spread, sim_min, pass_min;
};

Result measure(const Frame &f, int w, int h, int frames) {
    uint32_t fbs[2] = {};
    auto one = [&]() {
        const uint32_t fb = gl_dewarp_fb(&f.desc, w, h);
        if (!fb) {
            fprintf(stderr, "gpu bench: the pass returned no framebuffer\n");
            exit(1);
        }
        if (fbs[0]) drmModeRmFB(drm_fd, fbs[0]);
        fbs[0] = fbs[1], fbs[1] = fb;
        gpu_release_output();
    };
    for (int i = 0; i < 3; i++) one(); // set-up, ring (re)build, LUT load
    std::vector<double> total, sim, pass;
    for (int i = 0; i < frames; i++) {
        const SimGpuStats s0 = sim_gpu_stats();
        const double t0 = now_ms();
        one();
        const double t = now_ms() - t0;
        const SimGpuStats s1 = sim_gpu_stats();
        const double own =
            (double)(s1.conversion_ns - s0.conversion_ns + s1.writeback_ns - s0.writeback_ns) / 1e6;
        total.push_back(t), sim.push_back(own), pass.push_back(t - own);
    }
    for (uint32_t fb : fbs)
        if (fb) drmModeRmFB(drm_fd, fb);
    std::sort(total.begin(), total.end());
    std::sort(sim.begin(), sim.end());
    std::sort(pass.begin(), pass.end());
    const double p90 = total[std::min(total.size() - 1, total.size() * 9 / 10)];
    return {total[0], total[total.size() / 2], p90 / total[0], sim[0], pass[0]};
}

} // namespace

int main(int argc, char **argv) {
    int frames = 30;
    for (int i = 1; i + 1 < argc; i++)
        if (!strcmp(argv[i], "--frames")) frames = std::max(3, atoi(argv[i + 1]));
    char tmpl[] = "/tmp/vex-gpu-bench.XXXXXX";
    const char *dir = getenv("TMPDIR") ? nullptr : mkdtemp(tmpl);
    std::string run = dir ? dir : std::string(getenv("TMPDIR")) + "/vex-gpu-bench";
    if (!dir) mkdir(run.c_str(), 0755);
    setenv("VEX_SIM_DIR", run.c_str(), 1);
    drm_fd = open("/dev/dri/card0", O_RDWR | O_CLOEXEC);
    if (drm_fd < 0) {
        fprintf(stderr, "gpu bench: no simulated card\n");
        return 1;
    }
    const std::string cube = run + "/identity.cube";
    write_identity_cube(cube, 33);
    // Warnings and ready lines of the pass go to the log, not the table.
    fflush(stderr);
    const int saved_err = dup(2);
    const int null_fd = open("/dev/null", O_WRONLY);

    printf("GPU pass per frame, %d frames each (llvmpipe on this machine, not the board's GPU)\n",
           frames);
    printf("%-10s %-28s %8s %9s %6s %11s %11s %7s\n", "size", "settings", "min ms", "median ms",
           "spread", "sim own ms", "pass min ms", "ratio");
    Frame f720(1280, 720), f1080(1920, 1080);
    const long long maps0 = sim_file_mmap_count();
    long long drawn = 0, conversions0 = sim_gpu_stats().conversions,
              writebacks0 = sim_gpu_stats().writebacks;
    for (const Frame *fp : {&f720, &f1080}) {
        const Frame &f = *fp;
        const int w = fp == &f720 ? 1280 : 1920, h = fp == &f720 ? 720 : 1080;
        double lens_min = 0;
        for (int heavy = 0; heavy < 2; heavy++) {
            g_dewarp = 1;
            g_colorgrade = g_antiflicker = heavy;
            g_cg_contrast = heavy ? 1.1f : 1.0f;
            snprintf(g_lut_path, sizeof g_lut_path, "%s", heavy ? cube.c_str() : "");
            g_lut_on = heavy, g_lut_mtime = 0;
            dup2(null_fd, 2);
            const Result r = measure(f, w, h, frames);
            dup2(saved_err, 2);
            if (!heavy) lens_min = r.pass_min;
            drawn += frames + 3;
            char size[16];
            snprintf(size, sizeof size, "%dx%d", w, h);
            printf("%-10s %-28s %8.2f %9.2f %6.2f %11.2f %11.2f", size,
                   heavy ? "lens+grade+LUT+anti-flicker" : "lens", r.total_min, r.total_med,
                   r.spread, r.sim_min, r.pass_min);
            if (heavy) printf(" %7.2f", r.pass_min / lens_min);
            printf("\n");
        }
    }
    const SimGpuStats s = sim_gpu_stats();
    printf("CPU copies of the picture in the program's path: %lld in %lld frames (buffer "
           "mappings made by the program while drawing)\n",
           sim_file_mmap_count() - maps0, drawn);
    printf("the simulator's own CPU conversions: %lld YUV imports and %lld write-backs in %lld "
           "frames (a board's GPU samples the frame and draws into the buffer itself)\n",
           s.conversions - conversions0, s.writebacks - writebacks0, drawn);
    close(null_fd), close(saved_err);
    if (dir) {
        unlink(cube.c_str());
        std::string cmd = "rm -rf '" + run + "'";
        if (system(cmd.c_str()) != 0) return 1;
    }
    return 0;
}
