// The simulated display card through libdrm's calls: what a kernel driver answers and shows.
#include "sim/kms_board.h"
#include "sim/kms_sim.h"
#include "sim/sim_env.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <drm_fourcc.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/mman.h>
#include <tuple>
#include <unistd.h>
#include <vector>
#include <xf86drm.h>
#include <xf86drmMode.h>

namespace {

struct Dumb {
    uint32_t handle = 0, pitch = 0, fb = 0;
};

class SimKms : public ::testing::Test {
  protected:
    int fd = -1;
    drmModeRes *res = nullptr;
    uint32_t conn = 0, crtc0 = 0;
    drmModeModeInfo mode{};       // the first connector's first mode
    std::vector<uint32_t> planes; // in board order

    // Opens card0 of the board `text`.
    void use(const char *text) {
        TearDown();
        ASSERT_EQ(sim_kms_use_board(text), 0);
        ASSERT_GE(fd = sim_kms_open("/dev/dri/card0", O_RDWR | O_CLOEXEC), 0);
        ASSERT_EQ(drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1), 0);
        ASSERT_NE(res = drmModeGetResources(fd), nullptr);
        conn = res->connectors[0], crtc0 = res->crtcs[0];
        drmModePlaneRes *pr = drmModeGetPlaneResources(fd);
        planes.assign(pr->planes, pr->planes + pr->count_planes);
        drmModeFreePlaneResources(pr);
        drmModeConnector *c = drmModeGetConnector(fd, conn);
        mode = c->count_modes ? c->modes[0] : mode;
        drmModeFreeConnector(c);
    }
    void SetUp() override { use(kms_default_board_text()); }
    void TearDown() override {
        drmModeFreeResources(res);
        if (fd >= 0) drmClose(fd);
        res = nullptr, fd = -1;
    }
    // Id of the property `name` of an object (0: none).
    uint32_t prop(uint32_t obj, uint32_t type, const char *name) {
        drmModeObjectProperties *p = drmModeObjectGetProperties(fd, obj, type);
        uint32_t id = 0;
        for (uint32_t i = 0; p && i < p->count_props && !id; ++i) {
            drmModePropertyRes *r = drmModeGetProperty(fd, p->props[i]);
            if (r && strcmp(r->name, name) == 0) id = r->prop_id;
            drmModeFreeProperty(r);
        }
        drmModeFreeObjectProperties(p);
        return id;
    }
    // A w x h dumb buffer filled with the 32-bit `fill`, and its framebuffer.
    Dumb dumb(uint32_t w, uint32_t h, uint32_t fourcc, uint32_t fill) {
        drm_mode_create_dumb c{h, w, 32, 0, 0, 0, 0};
        EXPECT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &c), 0);
        drm_mode_map_dumb m{c.handle, 0, 0};
        EXPECT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &m), 0);
        auto *p = static_cast<uint8_t *>(
            mmap(nullptr, c.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(m.offset)));
        EXPECT_NE(p, MAP_FAILED);
        Dumb d{c.handle, c.pitch, 0};
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) memcpy(p + y * d.pitch + x * 4, &fill, 4);
        uint32_t handles[4] = {d.handle}, pitches[4] = {d.pitch}, offsets[4] = {};
        EXPECT_EQ(drmModeAddFB2(fd, w, h, fourcc, handles, pitches, offsets, &d.fb, 0), 0);
        return d;
    }
    // The framebuffer of a decoder-style NV12 frame in a memfd (*frame): 64-byte pitch, rows
    // padded to 16, chroma after the padded luma; columns in four bars: white, black, red, blue.
    uint32_t nv12_fb(uint32_t w, uint32_t h, int *frame) {
        const uint32_t pitch = (w + 63) & ~63u, coff = pitch * ((h + 15) & ~15u);
        *frame = memfd_create("nv12-frame", MFD_CLOEXEC);
        EXPECT_EQ(ftruncate(*frame, off_t(coff) * 3 / 2), 0);
        auto *p = static_cast<uint8_t *>(
            mmap(nullptr, coff * 3 / 2, PROT_READ | PROT_WRITE, MAP_SHARED, *frame, 0));
        const uint8_t bars[4][3] = {{235, 128, 128}, {16, 128, 128}, {81, 90, 240}, {41, 240, 110}};
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                p[y * pitch + x] = bars[x * 4 / w][0];
                memcpy(p + coff + (y / 2) * pitch + (x & ~1u), bars[x * 4 / w] + 1, 2);
            }
        munmap(p, coff * 3 / 2);
        uint32_t handle = 0, again = 0, fb = 0; // one dmabuf, one handle
        EXPECT_EQ(drmPrimeFDToHandle(fd, *frame, &handle), 0);
        EXPECT_TRUE(drmPrimeFDToHandle(fd, *frame, &again) == 0 && again == handle);
        uint32_t h4[4] = {handle, handle}, p4[4] = {pitch, pitch}, o4[4] = {0, coff};
        EXPECT_EQ(drmModeAddFB2(fd, w, h, DRM_FORMAT_NV12, h4, p4, o4, &fb, 0), 0);
        return fb;
    }
    void modeset(uint32_t fb) {
        ASSERT_EQ(drmModeSetCrtc(fd, crtc0, fb, 0, 0, &conn, 1, &mode), 0);
    }
    // All of a w x h framebuffer on plane `pl` of CRTC 0 at x, y, shown dw x dh.
    int show(uint32_t pl, uint32_t fb, uint32_t w, uint32_t h, int x = 0, int y = 0,
             uint32_t dw = 0, uint32_t dh = 0) {
        return drmModeSetPlane(fd, pl, crtc0, fb, 0, x, y, dw ? dw : w, dh ? dh : h, 0, 0, w << 16,
                               h << 16);
    }
    uint32_t pixel(const char *out, uint32_t x, uint32_t y) {
        std::vector<uint8_t> rgb;
        uint32_t w = 0, h = 0;
        if (sim_kms_compose(out, &rgb, &w, &h) != 0) return 0xdeadbeef;
        const uint8_t *p = &rgb[(size_t(y) * w + x) * 3];
        return uint32_t(p[0]) << 16 | p[1] << 8 | p[2];
    }
};

// Microseconds of the next vblank on CRTC `index` (-1: refused).
long long vblank_us(int fd, int index = 0) {
    drmVBlank vb{};
    vb.request.type = drmVBlankSeqType(DRM_VBLANK_RELATIVE | (index << DRM_VBLANK_HIGH_CRTC_SHIFT));
    vb.request.sequence = 1;
    if (drmWaitVBlank(fd, &vb) != 0) return -1;
    return vb.reply.tval_sec * 1000000LL + vb.reply.tval_usec;
}

TEST_F(SimKms, FramebuffersModesetPlanesVblanksAndWhatTheScreenShows) {
    Dumb d = dumb(100, 20, DRM_FORMAT_XRGB8888, 0x00112233);
    EXPECT_EQ(d.pitch, 448u); // 400 bytes aligned to 64
    // As the program imports frames: modifiers passed only when not linear.
    auto add = [&](uint32_t h, uint32_t pitch, uint32_t handle, uint32_t stray, uint64_t mod) {
        uint32_t h4[4] = {handle, stray}, p4[4] = {pitch}, o4[4] = {}, fb = 0;
        uint64_t m4[4] = {mod};
        return drmModeAddFB2WithModifiers(fd, 100, h, DRM_FORMAT_XRGB8888, h4, p4, o4, m4, &fb,
                                          mod ? DRM_MODE_FB_MODIFIERS : 0);
    };
    EXPECT_EQ(add(28, d.pitch, d.handle, 0, 0), -EINVAL);        // past the buffer
    EXPECT_EQ(add(20, 396, d.handle, 0, 0), -EINVAL);            // pitch
    EXPECT_EQ(add(20, d.pitch, 999, 0, 0), -ENOENT);             // no such handle
    EXPECT_EQ(add(20, d.pitch, d.handle, d.handle, 0), -EINVAL); // stray plane
    EXPECT_EQ(add(20, d.pitch, d.handle, 0, DRM_FORMAT_MOD_BROADCOM_VC4_T_TILED), -EINVAL);
    EXPECT_EQ(drmModeRmFB(fd, d.fb), 0);
    EXPECT_EQ(drmModeRmFB(fd, d.fb), -ENOENT);
    EXPECT_EQ(sim_kms_fb_count(), 0); // the refused ones left nothing behind
    EXPECT_EQ(vblank_us(fd), -1);     // CRTC off
    EXPECT_EQ(errno, EINVAL);
    Dumb small = dumb(1280, 720, DRM_FORMAT_XRGB8888, 0);
    EXPECT_EQ(drmModeSetCrtc(fd, crtc0, small.fb, 0, 0, &conn, 1, &mode), -ENOSPC);
    Dumb standby = dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0x00204080);
    EXPECT_EQ(show(planes[1], standby.fb, 64, 64), -EINVAL); // CRTC not active yet
    drmModeModeInfo odd = mode;
    odd.hsync_start = 100; // before the end of the active area
    EXPECT_EQ(drmModeSetCrtc(fd, crtc0, standby.fb, 0, 0, &conn, 1, &odd), -EINVAL);
    int frames[2];
    EXPECT_EQ(drmModeSetCrtc(fd, crtc0, nv12_fb(1920, 1080, &frames[0]), 0, 0, &conn, 1, &mode),
              -EINVAL); // Smart0, VP0's primary, has no NV12
    modeset(standby.fb);
    long long us[3];
    for (long long &t : us) t = vblank_us(fd);
    EXPECT_NEAR(double(us[2] - us[0]), 33333.3, 1.5); // 2200 x 1125 at 148.5 MHz: 16666.67 us
    EXPECT_EQ(vblank_us(fd, 1), -1); // CRTC index 1 in the high-CRTC bits: inactive
    EXPECT_EQ(errno, EINVAL);
    // A decoder frame on the NV12 plane (Esmart0), scaled 2x into the middle.
    auto near_rgb = [](uint32_t a, uint32_t b) {
        for (int s = 0; s < 24; s += 8)
            if (abs(int((a >> s) & 0xff) - int((b >> s) & 0xff)) > 3) return false;
        return true;
    };
    const uint32_t fb = nv12_fb(320, 180, &frames[1]), video = planes[3];
    ASSERT_EQ(show(video, fb, 320, 180, 640, 360, 640, 360), 0);
    EXPECT_EQ(pixel("HDMI-A-1", 640 + 20, 400), 0xffffffu);  // Y=235 white
    EXPECT_EQ(pixel("HDMI-A-1", 640 + 200, 400), 0x000000u); // Y=16 black
    EXPECT_TRUE(near_rgb(pixel("HDMI-A-1", 640 + 360, 400), 0xff0000u));
    EXPECT_TRUE(near_rgb(pixel("HDMI-A-1", 640 + 600, 400), 0x0000ffu));
    EXPECT_EQ(pixel("HDMI-A-1", 639, 400), 0x204080u); // the standby picture around it
    // Refusals a driver gives.
    auto setp = [&](uint32_t pl, uint32_t f, uint32_t sx, uint32_t sw, uint32_t dw) {
        return drmModeSetPlane(fd, pl, crtc0, f, 0, 0, 0, dw, 180, sx, 0, sw, 180 << 16);
    };
    EXPECT_EQ(setp(video, fb, 0, 321 << 16, 320), -ENOSPC);       // source past the frame
    EXPECT_EQ(setp(video, fb, 1 << 16, 300 << 16, 300), -EINVAL); // odd x of a YUV source
    EXPECT_EQ(setp(video, fb, 2 << 16, 300 << 16, 300), 0);
    EXPECT_EQ(setp(video, fb, 0, 320 << 16, 39), -ERANGE);      // more than 8x down
    EXPECT_EQ(setp(planes[0], fb, 0, 320 << 16, 320), -EINVAL); // Smart0 has no NV12
    EXPECT_EQ(setp(video, 12345, 0, 320 << 16, 320), -ENOENT);
    Dumb argb = dumb(64, 64, DRM_FORMAT_ARGB8888, 0x80ff0000);
    EXPECT_EQ(show(planes[4], argb.fb, 64, 64), -EINVAL); // Cluster0 takes AFBC only
    // Half-transparent red on Smart1 (zpos 1): under the video until raised above it.
    ASSERT_EQ(show(planes[1], argb.fb, 64, 64), 0);
    EXPECT_EQ(pixel("HDMI-A-1", 5, 5), 0xffffffu);
    uint32_t zpos = prop(planes[1], DRM_MODE_OBJECT_PLANE, "zpos");
    ASSERT_EQ(drmModeObjectSetProperty(fd, planes[1], DRM_MODE_OBJECT_PLANE, zpos, 4), 0);
    EXPECT_EQ(drmModeObjectSetProperty(fd, planes[1], DRM_MODE_OBJECT_PLANE, zpos, 6), -EINVAL);
    EXPECT_EQ(pixel("HDMI-A-1", 5, 5), 0xff7f7fu); // over white
    ASSERT_EQ(drmModeSetPlane(fd, video, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(pixel("HDMI-A-1", 5, 5), 0x902040u); // over 0x204080, not premultiplied
    // Removing the primary's framebuffer switches the CRTC off.
    ASSERT_EQ(drmModeRmFB(fd, standby.fb), 0);
    EXPECT_EQ(pixel("HDMI-A-1", 0, 0), 0xdeadbeefu);
    for (int f : frames) close(f);
}

TEST_F(SimKms, AtomicModesetAndPlaneCommits) {
    const uint32_t p0 = planes[0];
    EXPECT_EQ(prop(p0, DRM_MODE_OBJECT_PLANE, "FB_ID"), 0u); // atomic properties need the cap
    ASSERT_EQ(drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 1), 0);
    Dumb standby = dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0x00ff00);
    uint32_t blob = 0;
    ASSERT_EQ(drmModeCreatePropertyBlob(fd, &mode, sizeof mode, &blob), 0);
    drmModeAtomicReq *req = drmModeAtomicAlloc();
    auto add = [&](uint32_t obj, uint32_t type, const char *name, uint64_t v) {
        EXPECT_NE(prop(obj, type, name), 0u) << name;
        drmModeAtomicAddProperty(req, obj, prop(obj, type, name), v);
    };
    add(conn, DRM_MODE_OBJECT_CONNECTOR, "CRTC_ID", crtc0);
    add(crtc0, DRM_MODE_OBJECT_CRTC, "MODE_ID", blob);
    add(crtc0, DRM_MODE_OBJECT_CRTC, "ACTIVE", 1);
    const std::pair<const char *, uint64_t> plane_props[] = {
        {"FB_ID", standby.fb},  {"CRTC_ID", crtc0}, {"SRC_W", 1920u << 16},
        {"SRC_H", 1080u << 16}, {"CRTC_W", 1920},   {"CRTC_H", 1080}};
    for (const auto &[name, v] : plane_props) add(p0, DRM_MODE_OBJECT_PLANE, name, v);
    EXPECT_EQ(drmModeAtomicCommit(fd, req, 0, nullptr), -EINVAL); // a modeset needs ALLOW_MODESET
    ASSERT_EQ(drmModeAtomicCommit(
                  fd, req, DRM_MODE_ATOMIC_TEST_ONLY | DRM_MODE_ATOMIC_ALLOW_MODESET, nullptr),
              0);
    EXPECT_EQ(pixel("HDMI-A-1", 0, 0), 0xdeadbeefu); // a test commit changes nothing
    ASSERT_EQ(drmModeAtomicCommit(fd, req, DRM_MODE_ATOMIC_ALLOW_MODESET, nullptr), 0);
    drmModeAtomicFree(req);
    EXPECT_EQ(drmModeDestroyPropertyBlob(fd, blob), 0); // the CRTC keeps its own reference
    EXPECT_EQ(pixel("HDMI-A-1", 0, 0), 0x00ff00u);

    // Per-frame plane commits: an unknown framebuffer, an immutable property, an unknown
    // object are refused and the state stays; a plane partly off the screen is clipped.
    const std::tuple<uint32_t, const char *, uint64_t, int> commits[] = {
        {p0, "FB_ID", 4242, -EINVAL},
        {p0, "type", 0, -EINVAL},
        {9999, "FB_ID", 0, -ENOENT},
        {p0, "CRTC_X", uint64_t(int64_t(-100)), 0}};
    for (const auto &[obj, name, v, err] : commits) {
        req = drmModeAtomicAlloc();
        drmModeAtomicAddProperty(req, obj, prop(p0, DRM_MODE_OBJECT_PLANE, name), v);
        EXPECT_EQ(drmModeAtomicCommit(fd, req, 0, nullptr), err) << name;
        drmModeAtomicFree(req);
    }
    EXPECT_EQ(pixel("HDMI-A-1", 1919, 0), 0u);
    EXPECT_EQ(pixel("HDMI-A-1", 1819, 0), 0x00ff00u);
}

// A board with a timeline (EDID delay, unplug, replug with another monitor, plug) and limits.
const char timeline_board[] = R"(card /dev/dri/card0
crtc A max_clock=340000
plane prim type=primary crtcs=A formats=XR24
connector HDMI-A-1 edid_ms=1000 unplug_ms=3000 replug_ms=4000
mode 1920x1080i@50 148500 2640 1125
after_replug
mode 3840x2160@60 594000 4400 2250 preferred
connector HDMI-A-2 status=disconnected plug_ms=2000
mode 1280x720@60 74250 1650 750
)";

TEST_F(SimKms, HotplugTimelineAndClockLimit) {
    use(timeline_board);
    // Connection and mode count of connector i, now; its first mode in `mode`.
    auto state = [&](int i) {
        drmModeConnector *c = drmModeGetConnectorCurrent(fd, res->connectors[i]);
        std::string s = c->connection == DRM_MODE_CONNECTED ? "on " : "off ";
        s += std::to_string(c->count_modes);
        if (c->count_modes) mode = c->modes[0];
        drmModeFreeConnector(c);
        return s;
    };
    EXPECT_EQ(state(0), "on 0"); // the EDID is still on its way
    EXPECT_EQ(state(1), "off 0");
    sim_kms_advance_ms(1000);
    EXPECT_EQ(state(0), "on 1");
    EXPECT_TRUE((mode.flags & DRM_MODE_FLAG_INTERLACE) && mode.vrefresh == 50);
    // Vblanks of an interlaced mode come per field: 148.5 MHz / 2640 / 1125 / 2.
    modeset(dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0).fb);
    long long t0 = vblank_us(fd);
    EXPECT_NEAR(double(vblank_us(fd) - t0), 10000.0, 1.5);
    // Unplugged, the second connector plugged; replugged with another monitor, EDID delayed.
    sim_kms_advance_ms(2000);
    EXPECT_EQ(state(0), "off 0");
    EXPECT_EQ(state(1), "on 1");
    sim_kms_advance_ms(1000);
    EXPECT_EQ(state(0), "on 0");
    sim_kms_advance_ms(1000);
    EXPECT_EQ(state(0), "on 1");
    EXPECT_EQ(mode.hdisplay, 3840);
    // A CRTC that cannot drive its 594 MHz pixel clock (as vc4's HVS).
    Dumb big = dumb(3840, 2160, DRM_FORMAT_XRGB8888, 0);
    EXPECT_EQ(drmModeSetCrtc(fd, crtc0, big.fb, 0, 0, &conn, 1, &mode), -EINVAL);
}

} // namespace

namespace {

TEST(SimBoard, ThirtyTwoCrtcsAreAllReachable) {
    std::string text = "board many\ncard /dev/dri/card0\n";
    for (int i = 0; i < 32; i++) text += "crtc C" + std::to_string(i) + "\n";
    text += "plane P type=primary crtcs=all formats=XR24\n"
            "connector HDMI-A-1\n"
            "mode 1920x1080@60 148500 2200 1125 preferred\n";
    KmsBoard b;
    std::string err;
    ASSERT_EQ(kms_board_parse(text.c_str(), &b, &err), 0) << err;
    EXPECT_EQ(b.cards[0].connectors[0].crtc_mask, 0xffffffffu);
    EXPECT_EQ(b.cards[0].planes[0].crtc_mask, 0xffffffffu);
}

} // namespace
