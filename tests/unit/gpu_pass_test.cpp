// The GPU pass drawn on the simulated GPU (Mesa's software GLES 2 behind the
// simulated GBM and dma-buf import), checked against a CPU reference of what
// the pass is meant to compute: geometry (mirrors, radial correction),
// anti-flicker, colour grade and the 3-D LUT; the ring, the output
// descriptor, the snapshot and a change of source size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <drm_fourcc.h>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <xf86drmMode.h>

#include "core/config.h"
#include "core/live_tuning.h"
#include "display/output.h"
#include "gpu/gl_context.h"
#include "gpu/gl_pass.h"
#include "gpu/gpu_pass.h"
#include "gpu/lut.h"
#include "sim/sim_env.h"
#include "sim/sim_gpu.h"

extern "C" {
#include <libavutil/hwcontext_drm.h>
}

namespace {

constexpr int W = 160, H = 120;

struct Rgb {
    float r, g, b;
};
using Picture = std::vector<Rgb>; // W x H, first row first (as in memory)

// A decoded NV12 frame in a memfd, as the simulated decoder hands them out.
struct Nv12 {
    int w, h, pitch, fd = -1;
    AVDRMFrameDescriptor desc{};
    Nv12(int w_, int h_, const std::function<int(int, int)> &y,
         const std::function<std::pair<int, int>(int, int)> &uv)
        : w(w_), h(h_), pitch((w_ + 63) / 64 * 64) {
        const size_t size = (size_t)pitch * h * 3 / 2;
        fd = memfd_create("nv12", MFD_CLOEXEC);
        EXPECT_EQ(ftruncate(fd, (off_t)size), 0);
        auto *m = (uint8_t *)mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        for (int j = 0; j < h; j++)
            for (int i = 0; i < w; i++) m[(size_t)j * pitch + i] = (uint8_t)y(i, j);
        for (int j = 0; j < h / 2; j++)
            for (int i = 0; i < w / 2; i++) {
                auto c = uv(i * 2, j * 2);
                uint8_t *p = m + (size_t)pitch * h + (size_t)j * pitch + i * 2;
                p[0] = (uint8_t)c.first, p[1] = (uint8_t)c.second;
            }
        munmap(m, size);
        desc.nb_objects = 1;
        desc.objects[0] = {fd, size, 0};
        desc.nb_layers = 1;
        desc.layers[0].format = DRM_FORMAT_NV12;
        desc.layers[0].nb_planes = 2;
        desc.layers[0].planes[0] = {0, 0, pitch};
        desc.layers[0].planes[1] = {0, (ptrdiff_t)pitch * h, pitch};
    }
    ~Nv12() { close(fd); }
};

// BT.601 limited range, as the card shows YUV.
Rgb bt601(int y, int u, int v) {
    auto c = [](double x) { return (float)std::min(255.0, std::max(0.0, std::round(x))); };
    const double Y = 1.164 * (y - 16);
    return {c(Y + 1.596 * (v - 128)), c(Y - 0.392 * (u - 128) - 0.813 * (v - 128)),
            c(Y + 2.017 * (u - 128))};
}

// A smooth, asymmetric colour picture: small sampling differences give small
// value differences, and every mirror changes it.
int smooth_y(int x, int y) {
    return 30 + (int)(180.0 * (0.7 * x / (W - 1) + 0.3 * y / (H - 1)));
}
std::pair<int, int> smooth_uv(int x, int y) {
    return {80 + x * 96 / W, 90 + y * 80 / H};
}

// Draws the frame and reads the ring slot back through the GPU output
// descriptor; removes the framebuffer.
Picture draw(const Nv12 &f) {
    const uint32_t fb = gl_dewarp_fb(&f.desc, f.w, f.h);
    EXPECT_NE(fb, 0u);
    EXPECT_GE(g_gl_src_fd, 0);
    Picture p;
    if (!fb || g_gl_src_fd < 0) return p;
    const size_t size = (size_t)g_gl_src_ws * 4 * g_gl_src_h;
    auto *m = (const uint8_t *)mmap(nullptr, size, PROT_READ, MAP_SHARED, g_gl_src_fd, 0);
    for (int y = 0; y < g_gl_src_h; y++)
        for (int x = 0; x < g_gl_src_w; x++) {
            const uint8_t *q = m + ((size_t)y * g_gl_src_ws + x) * 4; // B, G, R, X
            p.push_back({(float)q[2], (float)q[1], (float)q[0]});
        }
    munmap((void *)m, size);
    drmModeRmFB(drm_fd, fb);
    return p;
}

// Bilinear sample of a picture at normalised (u, v), edges clamped, as a
// texture unit samples with linear filtering.
Rgb sample(const Picture &s, float u, float v) {
    const float fx = u * W - 0.5f, fy = v * H - 0.5f;
    const int x0 = (int)std::floor(fx), y0 = (int)std::floor(fy);
    const float ax = fx - x0, ay = fy - y0;
    auto at = [&](int x, int y) {
        return s[(size_t)std::clamp(y, 0, H - 1) * W + std::clamp(x, 0, W - 1)];
    };
    auto mixc = [](Rgb a, Rgb b, float t) {
        return Rgb{a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
    };
    return mixc(mixc(at(x0, y0), at(x0 + 1, y0), ax), mixc(at(x0, y0 + 1), at(x0 + 1, y0 + 1), ax),
                ay);
}

// The lens geometry: where output pixel (x, y) samples the source.
void lens_source(int x, int y, float fx, float fy, float *u, float *v) {
    float uv[2] = {0.5f + ((x + 0.5f) / W - 0.5f) * fx, 0.5f + ((y + 0.5f) / H - 0.5f) * fy};
    const bool on = g_dewarp != 0;
    const float zoom = on && g_dw_zoom > 0.01f ? g_dw_zoom : 1.0f;
    const float vs = on && g_dw_vscale > 0.01f ? g_dw_vscale : 1.0f;
    const float dx = (uv[0] - g_dw_cx) / zoom, dy = (uv[1] - g_dw_cy) / zoom;
    const float r2 = dx * dx + dy * vs * dy * vs;
    float f = 1 + g_dw_k1 * r2 + g_dw_k2 * r2 * r2 + g_dw_k3 * r2 * r2 * r2;
    f = on ? 1 + (f - 1) * g_dw_strength : 1;
    *u = g_dw_cx + dx * f, *v = g_dw_cy + dy * f;
}

// The largest channel difference between two pictures, and where.
float max_diff(const Picture &a, const Picture &b, int *where = nullptr) {
    float m = 1e9f;
    if (a.size() != b.size()) return m;
    m = 0;
    for (size_t i = 0; i < a.size(); i++) {
        const float d = std::max(
            {std::fabs(a[i].r - b[i].r), std::fabs(a[i].g - b[i].g), std::fabs(a[i].b - b[i].b)});
        if (d > m) {
            m = d;
            if (where) *where = (int)i;
        }
    }
    return m;
}

std::string read_file_or_empty(const char *path) {
    std::string s;
    if (FILE *f = path ? fopen(path, "rb") : nullptr) {
        char buf[65536];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
        fclose(f);
    }
    return s;
}

Picture map_picture(const std::function<Rgb(int, int)> &fn) {
    Picture p;
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) p.push_back(fn(x, y));
    return p;
}

// Test fixture state: the simulated card opened as the display would.
class GpuPass : public testing::Test {
  protected:
    std::string dir;
    // One directory and one card for the process: the GPU pass keeps its
    // context and device for the life of the process.
    void SetUp() override {
        dir = testing::TempDir() + "vex-gpu-test." + std::to_string(getpid());
        ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
        setenv("VEX_SIM_DIR", (dir + "/run").c_str(), 1);
        if (drm_fd < 0) drm_fd = open("/dev/dri/card0", O_RDWR | O_CLOEXEC);
        ASSERT_GE(drm_fd, 0);
        g_dewarp = g_colorgrade = g_antiflicker = 0;
        g_flip = "none";
    }
    void TearDown() override { gpu_release_output(); }
    static void TearDownTestSuite() {
        const std::string d = testing::TempDir() + "vex-gpu-test." + std::to_string(getpid());
        EXPECT_EQ(system(("rm -rf '" + d + "'").c_str()), 0);
        unsetenv("VEX_SIM_DIR");
    }
    // Writes a .cube file; `entry` gives the value of lattice point (r, g, b).
    std::string cube(const char *name, int n,
                     const std::function<Rgb(float, float, float)> &entry) {
        const std::string path = dir + "/" + name;
        FILE *f = fopen(path.c_str(), "w");
        fprintf(f, "# test table\r\nTITLE \"t\"\r\nLUT_3D_SIZE %d\r\nDOMAIN_MIN 0 0 0\r\n", n);
        for (int b = 0; b < n; b++)
            for (int g = 0; g < n; g++)
                for (int r = 0; r < n; r++) {
                    Rgb e = entry(r / (n - 1.0f), g / (n - 1.0f), b / (n - 1.0f));
                    fprintf(f, "%.6f %.6f %.6f\r\n", e.r, e.g, e.b);
                }
        fclose(f);
        return path;
    }
};

TEST_F(GpuPass, GeometryAgainstReference) {
    Nv12 smooth(W, H, smooth_y, smooth_uv);
    testing::internal::CaptureStderr();
    g_dewarp = 1, g_dw_k1 = 0, g_dw_k2 = 0, g_dw_k3 = 0, g_dw_strength = 1;
    const Picture id = draw(smooth);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("vex-mpp: dewarp GPU pass ready (160x120, llvmpipe"), std::string::npos)
        << log;
    EXPECT_NE(log.find(", ring x4)"), std::string::npos) << log;
    ASSERT_EQ(id.size(), (size_t)W * H);
    // k = 0 is the identity: the decoded picture as the card would show it.
    int at = 0;
    EXPECT_LE(max_diff(id, map_picture([](int x, int y) {
                           auto c = smooth_uv(x & ~1, y & ~1);
                           return bt601(smooth_y(x, y), c.first, c.second);
                       }),
                       &at),
              2)
        << "at " << at % W << "," << at / W;

    // Mirrors: exact pixel for pixel.
    for (const char *flip : {"h", "v", "180"}) {
        g_flip = flip;
        const bool fh = flip[0] != 'v', fv = flip[0] != 'h';
        EXPECT_LE(max_diff(draw(smooth), map_picture([&](int x, int y) {
                               return id[(size_t)(fv ? H - 1 - y : y) * W + (fh ? W - 1 - x : x)];
                           })),
                  1)
            << "flip " << flip;
    }
    g_flip = "none";

    // Radial correction, off-centre, zoomed and vertically scaled, against the
    // formula sampled bilinearly from the identity picture; strength 0, and
    // zoom and vertical scale <= 0.01, fall back to the identity geometry.
    struct Lens {
        float k1, k2, cx, cy, strength, zoom, vscale;
    };
    for (const Lens &l :
         {Lens{-0.15f, 0, 0.5f, 0.5f, 1, 1, 1}, Lens{-0.3f, 0.1f, 0.45f, 0.55f, 0.7f, 1.2f, 0.8f},
          Lens{0.2f, 0, 0.5f, 0.5f, 1, 0.005f, 0.0f}, Lens{-0.5f, 0, 0.3f, 0.6f, 0, 1, 1}}) {
        g_dw_k1 = l.k1, g_dw_k2 = l.k2, g_dw_cx = l.cx, g_dw_cy = l.cy;
        g_dw_strength = l.strength, g_dw_zoom = l.zoom, g_dw_vscale = l.vscale;
        const Picture ref = map_picture([&](int x, int y) {
            float u, v;
            lens_source(x, y, 1, 1, &u, &v);
            return sample(id, u, v);
        });
        EXPECT_LE(max_diff(draw(smooth), ref, &at), 3)
            << "k1 " << l.k1 << " at " << at % W << "," << at / W;
        if (l.strength == 0) {
            EXPECT_LE(max_diff(ref, id), 0.01);
        }
    }

    // A bright dot moves where the formula says: with k1 = -0.15 about the
    // centre, the output point at offset d from the centre shows the source
    // at offset d (1 - 0.15 |d|^2).
    g_dw_k1 = -0.15f, g_dw_k2 = 0, g_dw_cx = g_dw_cy = 0.5f, g_dw_strength = 1, g_dw_zoom = 1,
    g_dw_vscale = 1;
    const float out_u = 0.1f, out_v = 0.2f; // where the dot is to appear
    const float du = out_u - 0.5f, dv = out_v - 0.5f, f = 1 - 0.15f * (du * du + dv * dv);
    const float src_x = (0.5f + du * f) * W, src_y = (0.5f + dv * f) * H;
    Nv12 dot(
        W, H,
        [&](int x, int y) {
            return std::hypot(x + 0.5f - src_x, y + 0.5f - src_y) < 2.5f ? 235 : 16;
        },
        [](int, int) { return std::make_pair(128, 128); });
    const Picture p = draw(dot);
    double sx = 0, sy = 0, sum = 0;
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++) {
            const double w = p[(size_t)y * W + x].g;
            sx += w * (x + 0.5), sy += w * (y + 0.5), sum += w;
        }
    ASSERT_GT(sum, 0);
    EXPECT_NEAR(sx / sum, out_u * W, 0.6);
    EXPECT_NEAR(sy / sum, out_v * H, 0.6);
}

TEST_F(GpuPass, AntiFlickerGradeAndLut) {
    // One bright row in a dark frame: three rows at 25 %, 50 % and 25 %.
    Nv12 line(
        W, H, [](int, int y) { return y == 60 ? 235 : 16; },
        [](int, int) { return std::make_pair(128, 128); });
    g_antiflicker = 1;
    testing::internal::CaptureStderr();
    const Picture af = draw(line);
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(af.size(), (size_t)W * H);
    for (int y = 56; y < 65; y++) {
        const float want = y == 60 ? 127.5f : (y == 59 || y == 61) ? 63.75f : 0.0f;
        for (int x : {0, W / 2, W - 1})
            EXPECT_NEAR(af[(size_t)y * W + x].g, want, 1.5) << "row " << y;
    }
    g_antiflicker = 0;

    Nv12 smooth(W, H, smooth_y, smooth_uv);
    const Picture id = draw(smooth);
    // A LUT switched on before any table loaded changes nothing; nor does the
    // grade at its neutral values.
    g_colorgrade = 1, g_lut_on = 1;
    EXPECT_LE(max_diff(draw(smooth), id), 1);
    g_lut_on = 0;
    // Grade against its formula: clamped to 0..1; saturation 0 is the luma.
    auto grade = [&](float bright, float contrast, float sat, float temp) {
        g_cg_bright = bright, g_cg_contrast = contrast, g_cg_sat = sat, g_cg_temp = temp;
        return map_picture([&](int x, int y) {
            const Rgb s = id[(size_t)y * W + x];
            float c[3] = {s.r / 255 + bright, s.g / 255 + bright, s.b / 255 + bright};
            for (float &v : c) v = (v - 0.5f) * contrast + 0.5f;
            const float luma = 0.299f * c[0] + 0.587f * c[1] + 0.114f * c[2];
            for (float &v : c) v = luma + (v - luma) * sat;
            c[0] += temp, c[2] -= temp;
            for (float &v : c) v = std::clamp(v, 0.0f, 1.0f) * 255;
            return Rgb{c[0], c[1], c[2]};
        });
    };
    int at = 0;
    for (auto g : {std::array<float, 4>{0.25f, 1.6f, 1.3f, 0.1f},
                   {-0.1f, 0.7f, 0.5f, -0.2f},
                   {0, 1, 0, 0}}) {
        const Picture ref = grade(g[0], g[1], g[2], g[3]);
        EXPECT_LE(max_diff(draw(smooth), ref, &at), 2)
            << "grade " << g[0] << " " << g[1] << " " << g[2] << " " << g[3] << " at " << at;
    }
    const Picture grey = draw(smooth); // saturation 0
    for (size_t i = 0; i < grey.size(); i += 97) {
        const Rgb s = id[i];
        EXPECT_NEAR(grey[i].r, 0.299f * s.r + 0.587f * s.g + 0.114f * s.b, 1.5);
        EXPECT_EQ(grey[i].r, grey[i].g);
        EXPECT_EQ(grey[i].g, grey[i].b);
    }
    g_cg_bright = 0, g_cg_contrast = 1, g_cg_sat = 1, g_cg_temp = 0;

    // LUTs: the identity leaves the picture; a channel swap swaps channels;
    // half a mix is half way; the grade switched off takes the LUT with it.
    snprintf(g_lut_path, sizeof g_lut_path, "%s",
             cube("id.cube", 17, [](float r, float g, float b) {
                 return Rgb{r, g, b};
             }).c_str());
    g_lut_on = 1, g_lut_mtime = 0, g_lut_mix = 1;
    testing::internal::CaptureStderr();
    EXPECT_LE(max_diff(draw(smooth), id), 2);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("id.cube (N=17, atlas 289x17)"), std::string::npos) << log;
    const Picture swapped = map_picture([&](int x, int y) {
        const Rgb s = id[(size_t)y * W + x];
        return Rgb{s.g, s.b, s.r};
    });
    const std::string swap = cube("swap.cube", 9, [](float r, float g, float b) {
        return Rgb{g, b, r};
    });
    snprintf(g_lut_path, sizeof g_lut_path, "%s", swap.c_str());
    g_lut_mtime = 0;
    testing::internal::CaptureStderr();
    EXPECT_LE(max_diff(draw(smooth), swapped), 2);
    g_lut_mix = 0.5f;
    EXPECT_LE(max_diff(draw(smooth), map_picture([&](int x, int y) {
                           const Rgb a = id[(size_t)y * W + x], b = swapped[(size_t)y * W + x];
                           return Rgb{(a.r + b.r) / 2, (a.g + b.g) / 2, (a.b + b.b) / 2};
                       })),
              2);
    g_lut_mix = 1;
    g_colorgrade = 0;
    EXPECT_LE(max_diff(draw(smooth), id), 1);
    g_colorgrade = 1;
    // A file rewritten with a new modification time is loaded again on the
    // next frame; a broken one is reported on every frame and the table in use stays.
    cube("swap.cube", 2, [](float r, float g, float b) { return Rgb{r, g, b}; });
    const timespec later[2] = {{time(nullptr) + 5, 0}, {time(nullptr) + 5, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, swap.c_str(), later, 0), 0);
    EXPECT_LE(max_diff(draw(smooth), id), 2);
    FILE *fp = fopen(swap.c_str(), "w");
    fputs("LUT_3D_SIZE 2\n0 0 0\n", fp);
    fclose(fp);
    const timespec later2[2] = {{time(nullptr) + 9, 0}, {time(nullptr) + 9, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, swap.c_str(), later2, 0), 0);
    EXPECT_LE(max_diff(draw(smooth), id), 2);
    EXPECT_LE(max_diff(draw(smooth), id), 2);
    log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("swap.cube (N=9, atlas 81x9)"), std::string::npos) << log;
    EXPECT_NE(log.find("swap.cube (N=2, atlas 4x2)"), std::string::npos) << log;
    const std::string failed = "vex-mpp: LUT parse failed: " + swap;
    size_t n = 0;
    for (size_t i = log.find(failed); i != std::string::npos; i = log.find(failed, i + 1)) n++;
    EXPECT_EQ(n, 2u) << log;
    g_lut_on = 0, g_colorgrade = 0, g_lut_path[0] = 0;
}

TEST_F(GpuPass, RingOutputSnapshotAndSizeChange) {
    Nv12 a(W, H, smooth_y, smooth_uv);
    g_dewarp = 1;
    testing::internal::CaptureStderr();
    // Four buffers recur in order; each frame gets a framebuffer of its own.
    std::vector<ino_t> inodes;
    std::vector<uint32_t> fbs;
    const int idx0 = g_glring_idx;
    for (int i = 0; i < 9; i++) {
        fbs.push_back(gl_dewarp_fb(&a.desc, W, H));
        struct stat st;
        ASSERT_EQ(fstat(g_gl_src_fd, &st), 0);
        inodes.push_back(st.st_ino);
        EXPECT_EQ(g_glring_idx, (idx0 + i + 1) % 4);
        EXPECT_EQ(std::make_tuple(g_gl_src_w, g_gl_src_h, g_gl_src_ws), std::make_tuple(W, H, W));
    }
    for (int i = 0; i < 9; i++) {
        EXPECT_EQ(inodes[(size_t)i] == inodes[(size_t)(i % 4)], true) << "frame " << i;
        if (i > 0 && i < 4) {
            EXPECT_NE(inodes[(size_t)i], inodes[0]);
        }
        EXPECT_NE(fbs[(size_t)i], 0u);
        EXPECT_EQ(std::count(fbs.begin(), fbs.end(), fbs[(size_t)i]), 1);
        drmModeRmFB(drm_fd, fbs[(size_t)i]);
    }

    // The snapshot: P6 at render size, the picture as drawn.
    g_want_snap = 1;
    const Picture p = draw(a);
    g_want_snap = 0;
    char path[512];
    const std::string snap =
        read_file_or_empty(sim_map_path("/tmp/vex-snap.ppm", path, sizeof path));
    const std::string header = "P6\n160 120\n255\n";
    ASSERT_EQ(snap.size(), header.size() + (size_t)W * H * 3);
    EXPECT_EQ(snap.substr(0, header.size()), header);
    bool same = true;
    for (size_t i = 0; i < p.size(); i++) {
        const uint8_t *q = (const uint8_t *)snap.data() + header.size() + i * 3;
        same = same && q[0] == p[i].r && q[1] == p[i].g && q[2] == p[i].b;
    }
    EXPECT_TRUE(same);

    // A new source size: logged once, the ring rebuilt at it, index from 0.
    Nv12 b(
        96, 64, [](int, int) { return 120; }, [](int, int) { return std::make_pair(128, 128); });
    for (int i = 0; i < 2; i++) drmModeRmFB(drm_fd, gl_dewarp_fb(&b.desc, 96, 64));
    EXPECT_EQ(g_glring_idx, 2);
    EXPECT_EQ(std::make_tuple(g_gl_src_w, g_gl_src_h), std::make_tuple(96, 64));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("vex-mpp: source geometry changed 160x120→96x64 — re-initialising "
                       "dewarp/encode\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("geometry changed"), log.rfind("geometry changed"));
    EXPECT_NE(log.find("vex-mpp: snapshot -> /tmp/vex-snap.ppm (160x120)\n"), std::string::npos);
}

TEST(GpuRenderSize, ReducedIgnoredOrSource) {
    auto rs = [](const char *v, int sw, int sh) {
        RenderSize r = render_size_for(v, sw, sh);
        return std::make_tuple(r.w, r.h, (int)r.kind);
    };
    const int src = RenderSize::source, red = RenderSize::reduced, ign = RenderSize::ignored;
    EXPECT_EQ(rs(nullptr, 1920, 1080), std::make_tuple(1920, 1080, src));
    EXPECT_EQ(rs("", 1920, 1080), std::make_tuple(1920, 1080, src));
    EXPECT_EQ(rs("1280x720", 1920, 1080), std::make_tuple(1280, 720, red));
    EXPECT_EQ(rs("720", 1920, 1080), std::make_tuple(1280, 720, red)); // aspect kept
    EXPECT_EQ(rs("1000x562", 1920, 1080), std::make_tuple(992, 562, red));
    EXPECT_EQ(rs("1001x563", 1920, 1080), std::make_tuple(992, 562, red));
    EXPECT_EQ(rs("300x200", 1920, 1080), std::make_tuple(1920, 1080, ign));
    EXPECT_EQ(rs("2560x1440", 1920, 1080), std::make_tuple(1920, 1080, ign));
    EXPECT_EQ(rs("1280x", 1920, 1080), std::make_tuple(1920, 1080, ign)); // height 1280
    EXPECT_EQ(rs("junk", 1920, 1080), std::make_tuple(1920, 1080, ign));
    EXPECT_EQ(rs("480", 640, 480), std::make_tuple(640, 480, red));
}

TEST_F(GpuPass, ImportAttributesAndRefusedImports) {
    // Layer 0's planes, a modifier only when it is not linear.
    AVDRMFrameDescriptor d{};
    d.nb_objects = 2;
    d.objects[0] = {7, 1000, 0};
    d.objects[1] = {9, 1000, 0x0800000000000011ull};
    d.nb_layers = 1;
    d.layers[0].format = DRM_FORMAT_NV12;
    d.layers[0].nb_planes = 2;
    d.layers[0].planes[0] = {0, 0, 64};
    d.layers[0].planes[1] = {1, 4096, 64};
    EGLint a[dmabuf_attrib_max];
    const int n = dmabuf_import_attribs(&d, 64, 32, a);
    const std::vector<EGLint> want = {EGL_WIDTH,
                                      64,
                                      EGL_HEIGHT,
                                      32,
                                      EGL_LINUX_DRM_FOURCC_EXT,
                                      (EGLint)DRM_FORMAT_NV12,
                                      EGL_DMA_BUF_PLANE0_FD_EXT,
                                      7,
                                      EGL_DMA_BUF_PLANE0_OFFSET_EXT,
                                      0,
                                      EGL_DMA_BUF_PLANE0_PITCH_EXT,
                                      64,
                                      EGL_DMA_BUF_PLANE1_FD_EXT,
                                      9,
                                      EGL_DMA_BUF_PLANE1_OFFSET_EXT,
                                      4096,
                                      EGL_DMA_BUF_PLANE1_PITCH_EXT,
                                      64,
                                      EGL_DMA_BUF_PLANE1_MODIFIER_LO_EXT,
                                      0x11,
                                      EGL_DMA_BUF_PLANE1_MODIFIER_HI_EXT,
                                      0x08000000,
                                      EGL_NONE};
    EXPECT_EQ(std::vector<EGLint>(a, a + n), want);

    // The simulated driver refuses what a driver refuses.
    Nv12 f(W, H, smooth_y, smooth_uv);
    g_dewarp = 1;
    testing::internal::CaptureStderr();
    drmModeRmFB(drm_fd, gl_dewarp_fb(&f.desc, W, H));
    // A frame that cannot be imported is shown uncorrected, with one warning
    // in the life of the process; the next frame is drawn again.
    const long long next = sim_gpu_stats().frame_imports + 1;
    setenv("VEX_SIM_EGL_IMPORT_FAIL",
           (std::to_string(next) + "," + std::to_string(next + 1)).c_str(), 1);
    std::vector<uint32_t> fbs;
    for (int i = 0; i < 4; i++) fbs.push_back(gl_dewarp_fb(&f.desc, W, H));
    unsetenv("VEX_SIM_EGL_IMPORT_FAIL");
    EXPECT_TRUE(!fbs[0] && !fbs[1] && fbs[2] && fbs[3]);
    for (uint32_t fb : fbs)
        if (fb) drmModeRmFB(drm_fd, fb);
    auto import = [&](std::vector<EGLint> attrs) {
        attrs.push_back(EGL_NONE);
        EGLImageKHR img =
            g_egl_create_image(g_egl, EGL_NO_CONTEXT, EGL_LINUX_DMA_BUF_EXT, nullptr, attrs.data());
        if (img != EGL_NO_IMAGE_KHR) g_egl_destroy_image(g_egl, img);
        return img == EGL_NO_IMAGE_KHR ? eglGetError() : EGL_SUCCESS;
    };
    const int p = f.pitch;
    const std::vector<EGLint> head = {
        EGL_WIDTH, W, EGL_HEIGHT, H, EGL_LINUX_DRM_FOURCC_EXT, (EGLint)DRM_FORMAT_NV12};
    auto with = [&](std::vector<EGLint> planes) {
        std::vector<EGLint> v = head;
        v.insert(v.end(), planes.begin(), planes.end());
        return v;
    };
    const std::vector<EGLint> y = {EGL_DMA_BUF_PLANE0_FD_EXT,     f.fd,
                                   EGL_DMA_BUF_PLANE0_OFFSET_EXT, 0,
                                   EGL_DMA_BUF_PLANE0_PITCH_EXT,  p};
    std::vector<EGLint> ok = with(y);
    ok.insert(ok.end(), {EGL_DMA_BUF_PLANE1_FD_EXT, f.fd, EGL_DMA_BUF_PLANE1_OFFSET_EXT, p * H,
                         EGL_DMA_BUF_PLANE1_PITCH_EXT, p});
    EXPECT_EQ(import(ok), EGL_SUCCESS);
    EXPECT_EQ(import(with(y)), EGL_BAD_PARAMETER); // no chroma plane
    std::vector<EGLint> bad = ok;
    bad[5] = (EGLint)DRM_FORMAT_YUYV;
    EXPECT_EQ(import(bad), EGL_BAD_MATCH); // a format it cannot import
    bad = ok;
    bad[11] = W - 1;
    EXPECT_EQ(import(bad), EGL_BAD_MATCH); // pitch below the width
    bad = ok;
    bad[15] = p * H * 2;
    EXPECT_EQ(import(bad), EGL_BAD_ACCESS); // chroma past the buffer's end
    bad = ok;
    bad[7] = -1;
    EXPECT_EQ(import(bad), EGL_BAD_PARAMETER);
    bad = ok;
    bad.insert(bad.end(),
               {EGL_DMA_BUF_PLANE0_MODIFIER_LO_EXT, 1, EGL_DMA_BUF_PLANE0_MODIFIER_HI_EXT, 0});
    EXPECT_EQ(import(bad), EGL_BAD_MATCH); // a tiled layout

    const std::string log = testing::internal::GetCapturedStderr();
    const std::string warn = "vex-mpp: dewarp: import source dmabuf failed — uncorrected\n";
    EXPECT_NE(log.find(warn), std::string::npos) << log;
    EXPECT_EQ(log.find(warn), log.rfind(warn)) << log;
}

} // namespace

// Whatever slot the encoder holds, and whenever it changes (a hand-off takes
// the slot just drawn), the next draw never lands on the held slot nor on the
// two drawn last, which the display may still scan out.
TEST(GpuRing, DrawsAroundTheSlotTheEncoderReads) {
    int next = 0, held = -1, last = -1, before = -1;
    unsigned seed = 7;
    for (int i = 0; i < 400; i++) {
        const int slot = gl_next_slot(next, held);
        ASSERT_NE(slot, held) << i;
        ASSERT_NE(slot, last) << i;
        ASSERT_NE(slot, before) << i;
        next = (slot + 1) % gl_ring_depth;
        before = last;
        last = slot;
        seed = seed * 1103515245u + 12345u;
        const unsigned r = (seed >> 16) % 4;
        if (r == 0)
            held = -1; // converted
        else if (r == 1 && held < 0)
            held = slot; // handed over
    }
}
