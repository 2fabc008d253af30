// The flip ring and the panel path on the simulated board (its display card
// and RGA engine): what reaches the scan-out buffers, and the panel snapshot.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <drm_fourcc.h>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "core/config.h"
#include "core/live_tuning.h"
#include "display/output.h"
#include "display/panel.h"
#include "sim/kms_sim.h"
#include "sim/rga_engine.h"

extern "C" {
#include <libavutil/hwcontext_drm.h>
}

namespace {

// A decoder frame as the simulated decoder makes one: NV12 in a memfd, rows
// `pitch` apart, chroma below `rows` luma rows.
struct Frame {
    int w, h, pitch, rows, fd = -1;
    uint8_t *map = nullptr;
    size_t size = 0;
    AVDRMFrameDescriptor desc{};
    Frame(int w_, int h_, int pitch_, int rows_, uint32_t format = DRM_FORMAT_NV12)
        : w(w_), h(h_), pitch(pitch_), rows(rows_) {
        size = (size_t)pitch * rows * 3 / 2;
        fd = memfd_create("test-frame", MFD_CLOEXEC);
        EXPECT_EQ(ftruncate(fd, (off_t)size), 0);
        map = (uint8_t *)mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        desc.nb_objects = 1;
        desc.objects[0] = {fd, size, DRM_FORMAT_MOD_LINEAR};
        desc.nb_layers = 1;
        desc.layers[0].format = format;
        desc.layers[0].nb_planes = 2;
        desc.layers[0].planes[0] = {0, 0, pitch};
        desc.layers[0].planes[1] = {0, (ptrdiff_t)pitch * rows, pitch};
    }
    ~Frame() {
        munmap(map, size);
        close(fd);
    }
    uint8_t &y(int x, int r) { return map[(size_t)r * pitch + x]; }
    uint8_t *uv(int cx, int cr) { return &map[(size_t)pitch * rows + cr * pitch + cx * 2]; }
    // Luma and both chroma samples from functions of the position.
    void fill(const std::function<int(int, int)> &fy, const std::function<int(int, int)> &fu,
              const std::function<int(int, int)> &fv) {
        for (int r = 0; r < h; r++)
            for (int x = 0; x < w; x++) y(x, r) = (uint8_t)fy(x, r);
        for (int r = 0; r < h / 2; r++)
            for (int x = 0; x < w / 2; x++) {
                uint8_t *c = &map[(size_t)pitch * rows + (size_t)r * pitch + (size_t)x * 2];
                c[0] = (uint8_t)fu(x, r), c[1] = (uint8_t)fv(x, r);
            }
    }
};

// The NV12 picture behind a framebuffer, read through the card.
struct FbPicture {
    uint32_t w = 0, h = 0, pitch = 0, chroma = 0;
    std::vector<uint8_t> bytes;
    int y(int x, int r) const { return bytes[(size_t)r * pitch + x]; }
    int u(int cx, int cr) const { return bytes[chroma + (size_t)cr * pitch + cx * 2]; }
    int v(int cx, int cr) const { return bytes[chroma + (size_t)cr * pitch + cx * 2 + 1]; }
};

FbPicture read_fb(uint32_t fb) {
    FbPicture p;
    drmModeFB2 *info = drmModeGetFB2(drm_fd, fb);
    EXPECT_TRUE(info && info->pixel_format == DRM_FORMAT_NV12) << "framebuffer " << fb;
    if (!info) return p;
    p.w = info->width, p.h = info->height, p.pitch = info->pitches[0], p.chroma = info->offsets[1];
    drm_mode_map_dumb m{};
    m.handle = info->handles[0];
    size_t len = (size_t)p.chroma + (size_t)p.pitch * (p.h / 2);
    if (drmIoctl(drm_fd, DRM_IOCTL_MODE_MAP_DUMB, &m) == 0) {
        void *map = mmap(nullptr, len, PROT_READ, MAP_SHARED, drm_fd, (off_t)m.offset);
        if (map != MAP_FAILED) {
            p.bytes.assign((uint8_t *)map, (uint8_t *)map + len);
            munmap(map, len);
        }
    }
    drmCloseBufferHandle(drm_fd, info->handles[0]);
    drmModeFreeFB2(info);
    EXPECT_FALSE(p.bytes.empty());
    return p;
}

// A run directory of our own and a board with its outputs set up.
std::string start_board(const char *name, const char *test) {
    std::string dir = testing::TempDir() + "vex-" + test + "." + std::to_string(getpid());
    setenv("VEX_SIM_DIR", dir.c_str(), 1);
    if (name)
        setenv("VEX_SIM_BOARD", name, 1);
    else
        unsetenv("VEX_SIM_BOARD");
    EXPECT_EQ(sim_kms_use_board(nullptr), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(drm_init(), 0);
    testing::internal::GetCapturedStderr();
    return dir;
}

int count(const std::string &log, const std::string &needle) {
    int n = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) n++;
    return n;
}

TEST(RgaRules, FlipCodesStridesAndColours) {
    std::vector<int> modes;
    for (const char *f : {"h", "v", "180", "hv", "H", "", "none", "90", (const char *)nullptr})
        modes.push_back(rga_flip_mode(f));
    EXPECT_EQ(modes, (std::vector<int>{8, 16, 2, 0, 0, 0, 0, 0, 0}));
    // A picture the GPU pass has mirrored already needs only the difference.
    EXPECT_EQ((std::vector<int>{rga_flip_between("h", "h"), rga_flip_between("h", "v"),
                                rga_flip_between("180", "h"), rga_flip_between("none", "180")}),
              (std::vector<int>{0, 2, 16, 2}));
    // A decoder that pads rows below the picture.
    EXPECT_EQ((std::vector<int>{nv12_hstride(1920, 1920 * 1088, 1080),
                                nv12_hstride(1920, 1920 * 1000, 1080), nv12_hstride(0, 4096, 1080),
                                nv12_hstride(1920, 1920 * 1088 + 64, 1080)}),
              (std::vector<int>{1088, 1080, 1080, -1}));
    uint8_t rgb[3];
    bt601_to_rgb(16, 128, 128, rgb);
    EXPECT_EQ(rgb[0] | rgb[1] | rgb[2], 0);
    bt601_to_rgb(235, 128, 128, rgb);
    EXPECT_TRUE(rgb[0] == 255 && rgb[1] == 255 && rgb[2] == 255);
}

TEST(RgaCopy, ConvertsBgraToNv12InCpuBuffers) {
    // What the encode tee asks of the engine: a BGRA picture as NV12 of the
    // same size. Columns: white, black, red, blue.
    std::vector<uint32_t> bgra(64 * 16);
    const uint32_t colours[] = {0xffffffff, 0xff000000, 0xffff0000, 0xff0000ff};
    for (int y = 0; y < 16; y++)
        for (int x = 0; x < 64; x++) bgra[(size_t)y * 64 + x] = colours[x / 16];
    std::vector<uint8_t> nv12(64 * 16 * 3 / 2, 0);
    ASSERT_TRUE(rga_copy(rga_cpu(bgra.data(), 64, 16, 64, 16, rga_format_bgra),
                         rga_cpu(nv12.data(), 64, 16, 64, 16, rga_format_nv12)));
    // Y, Cb, Cr of each column: white, black, red, blue.
    std::vector<int> got;
    for (int x : {4, 20, 40, 60})
        got.insert(got.end(),
                   {nv12[5 * 64 + x], nv12[64 * 16 + 2 * 64 + x], nv12[64 * 16 + 2 * 64 + x + 1]});
    EXPECT_EQ(got, (std::vector<int>{235, 128, 128, 16, 128, 128, 82, 90, 240, 41, 240, 110}));
}

TEST(RgaFlipRing, MirrorsEachFrameIntoARingOfItsSize) {
    start_board(nullptr, "rga-flip-test");
    const char *saved = g_flip;
    g_flip = "h";

    // Not NV12 (a 10-bit frame): shown unflipped, silently, nothing allocated.
    Frame p010(640, 480, 1280, 480, DRM_FORMAT_P010);
    testing::internal::CaptureStderr();
    EXPECT_EQ(rga_flip_fb(&p010.desc, 640, 480), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    // 640x480 from a decoder that pads to 704x496.
    Frame a(640, 480, 704, 496);
    a.fill([](int x, int r) { return 16 + (x * 7 + r * 3) % 219; },
           [](int x, int) { return 16 + x % 224; }, [](int, int r) { return 16 + r % 224; });
    testing::internal::CaptureStderr();
    std::vector<uint32_t> fbs;
    for (int i = 0; i < 5; i++) fbs.push_back(rga_flip_fb(&a.desc, 640, 480));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count(log, "vex-mpp: flip h via RGA (640x480 NV12 ring x4)\n"), 1) << log;
    // Frames 1 to 5 use the ring's buffers 0, 1, 2, 3, 0 (a buffer's mapping
    // offset names it).
    std::vector<uint64_t> bufs;
    for (uint32_t fb : fbs) {
        drmModeFB2 *info = drmModeGetFB2(drm_fd, fb);
        ASSERT_TRUE(info);
        drm_mode_map_dumb m{};
        m.handle = info->handles[0];
        EXPECT_EQ(drmIoctl(drm_fd, DRM_IOCTL_MODE_MAP_DUMB, &m), 0);
        bufs.push_back(m.offset);
        drmCloseBufferHandle(drm_fd, info->handles[0]);
        drmModeFreeFB2(info);
    }
    EXPECT_TRUE(bufs[0] != bufs[1] && bufs[1] != bufs[2] && bufs[2] != bufs[3] &&
                bufs[3] != bufs[0] && bufs[0] != bufs[2] && bufs[1] != bufs[3] &&
                bufs[4] == bufs[0]);
    for (uint32_t fb : {fbs[3], fbs[4]}) {
        ASSERT_NE(fb, 0u);
        FbPicture p = read_fb(fb);
        ASSERT_EQ(p.w * 10000 + p.h, 640u * 10000 + 480);
        int bad = 0;
        for (int r = 0; r < 480; r++)
            for (int x = 0; x < 640; x++) bad += p.y(x, r) != a.y(639 - x, r);
        for (int r = 0; r < 240; r++)
            for (int x = 0; x < 320; x++)
                bad += p.u(x, r) != a.uv(319 - x, r)[0] || p.v(x, r) != a.uv(319 - x, r)[1];
        EXPECT_EQ(bad, 0) << "samples not mirrored exactly";
    }

    // A larger frame gets a ring of its own size, whatever the flip now is
    // (the mirrors themselves are checked on screen end to end).
    g_flip = "180";
    Frame b(1280, 720, 1280, 720);
    testing::internal::CaptureStderr();
    const uint32_t fb = rga_flip_fb(&b.desc, 1280, 720);
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count(log, "vex-mpp: flip 180 via RGA (1280x720 NV12 ring x4)\n"), 1) << log;
    ASSERT_NE(fb, 0u);
    const FbPicture p = read_fb(fb);
    EXPECT_EQ(p.w * 10000 + p.h, 1280u * 10000 + 720);
    fbs.push_back(fb);

    for (uint32_t f : fbs) drmModeRmFB(drm_fd, f);
    g_flip = saved;
}

// The panel snapshot file: header and RGB rows.
struct Ppm {
    std::string header;
    std::vector<uint8_t> rgb;
    uint32_t at(int x, int y) const {
        const uint8_t *p = &rgb[((size_t)y * 720 + x) * 3];
        return (uint32_t)p[0] << 16 | p[1] << 8 | p[2];
    }
};

Ppm read_snapshot(const std::string &dir) {
    Ppm s;
    FILE *f = fopen((dir + "/tmp/vex-snap-dsi.ppm").c_str(), "rb");
    EXPECT_TRUE(f);
    if (!f) return s;
    char head[16];
    if (fread(head, 1, sizeof head, f) == sizeof head) s.header.assign(head, sizeof head);
    s.rgb.resize(720 * 1280 * 3 + 1);
    s.rgb.resize(fread(s.rgb.data(), 1, s.rgb.size(), f));
    fclose(f);
    EXPECT_EQ(s.rgb.size(), 720u * 1280 * 3);
    s.rgb.resize(720 * 1280 * 3);
    return s;
}

// The columns of a snapshot row that are exactly `rgb`.
int columns_of(const Ppm &s, int y, uint32_t rgb, int x0, int x1) {
    int n = 0;
    for (int x = x0; x < x1; x++) n += s.at(x, y) == rgb;
    return n;
}

TEST(PanelPath, ScalesFlipsSnapshotsAndTriesARefusedPassOnce) {
    const std::string dir = start_board("rk3399-hdmi-dsi", "panel-test");
    Output &o = outs[1];
    ASSERT_TRUE(nout == 2 && o.primary_path && o.mode.hdisplay == 720 && o.mode.vdisplay == 1280);
    const char *saved_flip = g_flip;
    g_flip = "none";
    o.flip = "h";

    // Left half black, right half white.
    Frame f(1280, 720, 1280, 720);
    f.fill([](int x, int) { return x < 640 ? 16 : 235; }, [](int, int) { return 128; },
           [](int, int) { return 128; });
    g_want_snap = 1;
    testing::internal::CaptureStderr();
    uint32_t fb0 = panel_present(&o, &f.desc, 1280, 720, 0, 0, 1280, 720);
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_NE(fb0, 0u) << log;
    EXPECT_EQ(log, "vex-mpp: output 1 primary-plane scan-out via RGA (720x1280 NV12 x3)\n"
                   "vex-mpp: output 1 DSI snapshot -> /tmp/vex-snap-dsi.ppm (720x1280, flip h)\n");
    // Scaled to the whole panel and mirrored: white left, black right, exact
    // away from the edge the scaling blends.
    Ppm s = read_snapshot(dir);
    EXPECT_EQ(s.header, "P6\n720 1280\n255\n");
    for (int y : {0, 640, 1279}) {
        EXPECT_EQ(columns_of(s, y, 0xffffff, 0, 358), 358) << "row " << y;
        EXPECT_EQ(columns_of(s, y, 0x000000, 362, 720), 358) << "row " << y;
    }

    // Refused with no transform to do, no second pass is tried. (The ring's
    // slots, crops, the split pass and the fallbacks: tests/e2e/rga_e2e_test.cpp.)
    g_want_snap = 0;
    setenv("VEX_SIM_RGA_REFUSE", "all", 1);
    const RgaImage src = rga_dmabuf(f.fd, 1280, 720, 1280, 720, rga_format_nv12);
    const RgaImage dst = rga_dmabuf(f.fd, 720, 1280, 720, 1280, rga_format_nv12);
    SimRgaStats before{}, after{};
    sim_rga_stats(&before);
    EXPECT_EQ(dsi_blit(1, src, dst, {0, 0, 1280, 720}, {0, 0, 720, 1280}, 0), 0);
    sim_rga_stats(&after);
    EXPECT_EQ(after.ops - before.ops, 1);

    unsetenv("VEX_SIM_RGA_REFUSE");
    g_flip = saved_flip;
    unsetenv("VEX_SIM_BOARD");
}

} // namespace
