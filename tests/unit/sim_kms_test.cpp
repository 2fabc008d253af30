// The simulated display card: walked and driven through libdrm's calls as the
// program does, checked against what a kernel driver would answer.
#include "sim/kms_board.h"
#include "sim/kms_sim.h"
#include "sim/kms_state.h"
#include "sim/sim_env.h"
#include "tests/unit/png_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <drm_fourcc.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

namespace {

struct Dumb {
    uint32_t handle = 0, pitch = 0, fb = 0;
    uint64_t size = 0;
    uint8_t *map = nullptr;
};

class SimKms : public ::testing::Test {
  protected:
    int fd = -1;
    drmModeRes *res = nullptr;
    uint32_t conn = 0, crtc0 = 0;
    drmModeModeInfo mode{};

    void use(const char *board) {
        ASSERT_EQ(sim_kms_use_board(board), 0);
        fd = sim_kms_open("/dev/dri/card0", O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1), 0);
        res = drmModeGetResources(fd);
        ASSERT_NE(res, nullptr);
        conn = res->connectors[0];
        crtc0 = res->crtcs[0];
        drmModeConnector *c = drmModeGetConnector(fd, conn);
        ASSERT_NE(c, nullptr);
        if (c->count_modes) mode = c->modes[0];
        drmModeFreeConnector(c);
    }
    void SetUp() override { use(kms_default_board_text()); }
    void TearDown() override {
        drmModeFreeResources(res);
        if (fd >= 0) drmClose(fd);
    }

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
    // Plane id by position in the plane list (board order).
    uint32_t plane(int index) {
        drmModePlaneRes *pr = drmModeGetPlaneResources(fd);
        uint32_t id = pr->planes[index];
        drmModeFreePlaneResources(pr);
        return id;
    }
    Dumb dumb(uint32_t w, uint32_t h, uint32_t fourcc, uint32_t fill) {
        Dumb d;
        drm_mode_create_dumb c{};
        c.width = w;
        c.height = h;
        c.bpp = 32;
        EXPECT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &c), 0);
        drm_mode_map_dumb m{};
        m.handle = c.handle;
        EXPECT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &m), 0);
        void *p = mmap(nullptr, c.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(m.offset));
        EXPECT_NE(p, MAP_FAILED);
        d.handle = c.handle, d.pitch = c.pitch, d.size = c.size, d.map = static_cast<uint8_t *>(p);
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) memcpy(d.map + y * d.pitch + x * 4, &fill, 4);
        uint32_t handles[4] = {d.handle}, pitches[4] = {d.pitch}, offsets[4] = {};
        EXPECT_EQ(drmModeAddFB2(fd, w, h, fourcc, handles, pitches, offsets, &d.fb, 0), 0);
        return d;
    }
    void modeset(uint32_t fb) {
        ASSERT_EQ(drmModeSetCrtc(fd, crtc0, fb, 0, 0, &conn, 1, &mode), 0);
    }
    uint32_t pixel(const char *out, uint32_t x, uint32_t y) {
        std::vector<uint8_t> rgb;
        uint32_t w = 0, h = 0;
        if (sim_kms_compose(out, &rgb, &w, &h) != 0) return 0xdeadbeef;
        const uint8_t *p = &rgb[(size_t(y) * w + x) * 3];
        return uint32_t(p[0]) << 16 | p[1] << 8 | p[2];
    }
};

// A decoder-style NV12 frame in a memfd: 64-byte pitch, rows padded to 16,
// chroma after the padded luma. Columns in four bars: white, black, red, blue.
int nv12_frame(uint32_t w, uint32_t h, uint32_t *pitch, uint32_t *chroma_offset) {
    *pitch = (w + 63) & ~63u;
    uint32_t ph = (h + 15) & ~15u;
    *chroma_offset = *pitch * ph;
    size_t size = size_t(*pitch) * ph * 3 / 2;
    int fd = memfd_create("nv12-frame", MFD_CLOEXEC);
    EXPECT_EQ(ftruncate(fd, off_t(size)), 0);
    uint8_t *p =
        static_cast<uint8_t *>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    const uint8_t bars[4][3] = {{235, 128, 128}, {16, 128, 128}, {81, 90, 240}, {41, 240, 110}};
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t *b = bars[x * 4 / w];
            p[y * *pitch + x] = b[0];
            p[*chroma_offset + (y / 2) * *pitch + (x & ~1u)] = b[1];
            p[*chroma_offset + (y / 2) * *pitch + (x & ~1u) + 1] = b[2];
        }
    munmap(p, size);
    return fd;
}

bool near_rgb(uint32_t a, uint32_t b) {
    for (int s = 0; s < 24; s += 8)
        if (abs(int((a >> s) & 0xff) - int((b >> s) & 0xff)) > 3) return false;
    return true;
}

TEST_F(SimKms, WalksTheDefaultBoardAsTheProductDoes) {
    EXPECT_EQ(sim_kms_open("/dev/dri/card1", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    drmVersion *v = drmGetVersion(fd);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v->name, "rockchip");
    drmFreeVersion(v);

    EXPECT_EQ(res->count_crtcs, 3);
    ASSERT_EQ(res->count_connectors, 1);
    drmModeConnector *c = drmModeGetConnector(fd, conn);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->connection, DRM_MODE_CONNECTED);
    EXPECT_STREQ(drmModeGetConnectorTypeName(c->connector_type), "HDMI-A");
    EXPECT_EQ(c->connector_type_id, 1u);
    ASSERT_EQ(c->count_modes, 12);
    EXPECT_EQ(c->modes[0].hdisplay, 1920);
    EXPECT_EQ(c->modes[0].vrefresh, 60u);
    EXPECT_EQ(c->modes[0].clock, 148500u);
    EXPECT_TRUE(c->modes[0].type & DRM_MODE_TYPE_PREFERRED);
    EXPECT_STREQ(c->modes[11].name, "720x400");
    ASSERT_EQ(c->count_encoders, 1);
    drmModeEncoder *e = drmModeGetEncoder(fd, c->encoders[0]);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->possible_crtcs, 0x7u);
    drmModeFreeEncoder(e);
    drmModeFreeConnector(c);

    // Without universal planes only overlay planes are listed.
    int fd2 = sim_kms_open("/dev/dri/card0", O_RDWR);
    drmModePlaneRes *pr = drmModeGetPlaneResources(fd2);
    EXPECT_EQ(pr->count_planes, 5u);
    drmModeFreePlaneResources(pr);
    drmClose(fd2);
    pr = drmModeGetPlaneResources(fd);
    ASSERT_EQ(pr->count_planes, 6u);
    int nv12 = 0;
    for (uint32_t i = 0; i < pr->count_planes; ++i) {
        drmModePlane *p = drmModeGetPlane(fd, pr->planes[i]);
        EXPECT_EQ(p->possible_crtcs, 1u);
        for (uint32_t k = 0; k < p->count_formats; ++k) nv12 += p->formats[k] == DRM_FORMAT_NV12;
        drmModeFreePlane(p);
    }
    EXPECT_EQ(nv12, 2);
    drmModeFreePlaneResources(pr);

    // "type" and "zpos" of Smart0, the primary; atomic properties need the atomic cap.
    drmModeObjectProperties *op = drmModeObjectGetProperties(fd, plane(0), DRM_MODE_OBJECT_PLANE);
    ASSERT_NE(op, nullptr);
    uint32_t type_id = prop(plane(0), DRM_MODE_OBJECT_PLANE, "type");
    for (uint32_t i = 0; i < op->count_props; ++i) {
        if (op->props[i] == type_id) {
            EXPECT_EQ(op->prop_values[i], uint64_t(DRM_PLANE_TYPE_PRIMARY));
        }
    }
    drmModeFreeObjectProperties(op);
    drmModePropertyRes *z = drmModeGetProperty(fd, prop(plane(4), DRM_MODE_OBJECT_PLANE, "zpos"));
    ASSERT_NE(z, nullptr);
    EXPECT_TRUE(z->flags & DRM_MODE_PROP_RANGE);
    EXPECT_EQ(z->values[1], 5u);
    drmModeFreeProperty(z);
    EXPECT_EQ(prop(plane(0), DRM_MODE_OBJECT_PLANE, "FB_ID"), 0u);
    EXPECT_EQ(prop(conn, DRM_MODE_OBJECT_CONNECTOR, "CRTC_ID"), 0u);
    ASSERT_EQ(drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 1), 0);
    EXPECT_NE(prop(plane(0), DRM_MODE_OBJECT_PLANE, "FB_ID"), 0u);
    EXPECT_NE(prop(crtc0, DRM_MODE_OBJECT_CRTC, "MODE_ID"), 0u);
    EXPECT_EQ(drmModeObjectGetProperties(fd, conn, DRM_MODE_OBJECT_PLANE), nullptr);
    EXPECT_EQ(errno, ENOENT);

    // The EDID blob carries the preferred mode.
    drmModePropertyBlobRes *edid = nullptr;
    op = drmModeObjectGetProperties(fd, conn, DRM_MODE_OBJECT_CONNECTOR);
    uint32_t edid_id = prop(conn, DRM_MODE_OBJECT_CONNECTOR, "EDID");
    for (uint32_t i = 0; i < op->count_props; ++i)
        if (op->props[i] == edid_id)
            edid = drmModeGetPropertyBlob(fd, uint32_t(op->prop_values[i]));
    drmModeFreeObjectProperties(op);
    ASSERT_NE(edid, nullptr);
    ASSERT_EQ(edid->length, 128u);
    const uint8_t *eb = static_cast<const uint8_t *>(edid->data);
    EXPECT_EQ(eb[54] | eb[55] << 8, 14850); // 148.50 MHz in 10 kHz units
    unsigned sum = 0;
    for (int i = 0; i < 128; ++i) sum += eb[i];
    EXPECT_EQ(sum % 256, 0u);
    drmModeFreePropertyBlob(edid);
}

TEST_F(SimKms, DumbBuffersMapThroughTheCardAndExportAsDmabufs) {
    Dumb d = dumb(100, 20, DRM_FORMAT_XRGB8888, 0x00112233);
    EXPECT_EQ(d.pitch, 448u); // 400 bytes aligned to 64
    EXPECT_EQ(d.map[d.pitch * 19 + 99 * 4 + 1], 0x22);
    int dmabuf = -1;
    ASSERT_EQ(drmPrimeHandleToFD(fd, d.handle, DRM_CLOEXEC | DRM_RDWR, &dmabuf), 0);
    struct stat st {};
    ASSERT_EQ(fstat(dmabuf, &st), 0);
    EXPECT_GE(uint64_t(st.st_size), d.size);
    auto *alias = static_cast<uint8_t *>(
        mmap(nullptr, d.size, PROT_READ | PROT_WRITE, MAP_SHARED, dmabuf, 0));
    ASSERT_NE(alias, MAP_FAILED);
    alias[5] = 0x77; // written through the export, seen through the card mapping
    EXPECT_EQ(d.map[5], 0x77);
    uint32_t again = 0;
    ASSERT_EQ(drmPrimeFDToHandle(fd, dmabuf, &again), 0);
    EXPECT_EQ(again, d.handle);
    munmap(alias, d.size);
    close(dmabuf);

    // Mapping offsets that belong to no buffer, or more than the buffer.
    EXPECT_EQ(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0), MAP_FAILED);
    drm_mode_map_dumb m{};
    m.handle = d.handle;
    ASSERT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &m), 0);
    EXPECT_EQ(mmap(nullptr, d.size + 4096, PROT_READ, MAP_SHARED, fd, off_t(m.offset)), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);

    // Framebuffer validation.
    uint32_t h4[4] = {d.handle}, p4[4] = {d.pitch}, o4[4] = {}, fb = 0;
    EXPECT_EQ(drmModeAddFB2(fd, 100, 28, DRM_FORMAT_XRGB8888, h4, p4, o4, &fb, 0),
              -EINVAL); // past the buffer
    p4[0] = 396;
    EXPECT_EQ(drmModeAddFB2(fd, 100, 20, DRM_FORMAT_XRGB8888, h4, p4, o4, &fb, 0),
              -EINVAL); // pitch
    p4[0] = d.pitch;
    h4[0] = 999;
    EXPECT_EQ(drmModeAddFB2(fd, 100, 20, DRM_FORMAT_XRGB8888, h4, p4, o4, &fb, 0), -ENOENT);
    h4[0] = d.handle;
    h4[1] = d.handle;
    EXPECT_EQ(drmModeAddFB2(fd, 100, 20, DRM_FORMAT_XRGB8888, h4, p4, o4, &fb, 0),
              -EINVAL); // stray plane
    h4[1] = 0;
    uint64_t afbc[4] = {
        DRM_FORMAT_MOD_ARM_AFBC(AFBC_FORMAT_MOD_BLOCK_SIZE_16x16 | AFBC_FORMAT_MOD_SPARSE)};
    EXPECT_EQ(drmModeAddFB2WithModifiers(fd, 100, 20, DRM_FORMAT_XRGB8888, h4, p4, o4, afbc, &fb,
                                         DRM_MODE_FB_MODIFIERS),
              0);
    uint64_t tiled[4] = {DRM_FORMAT_MOD_BROADCOM_VC4_T_TILED};
    EXPECT_EQ(drmModeAddFB2WithModifiers(fd, 100, 20, DRM_FORMAT_XRGB8888, h4, p4, o4, tiled, &fb,
                                         DRM_MODE_FB_MODIFIERS),
              -EINVAL);
    EXPECT_EQ(sim_kms_fb_count(), 2);
    // A framebuffer keeps its buffer after the handle is gone.
    drm_mode_destroy_dumb dd{};
    dd.handle = d.handle;
    ASSERT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_DESTROY_DUMB, &dd), 0);
    EXPECT_NE(drmIoctl(fd, DRM_IOCTL_MODE_DESTROY_DUMB, &dd), 0);
    modeset(dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0).fb);
    ASSERT_EQ(
        drmModeSetPlane(fd, plane(1), crtc0, d.fb, 0, 0, 0, 100, 20, 0, 0, 100 << 16, 20 << 16), 0);
    EXPECT_EQ(pixel("HDMI-A-1", 99, 19), 0x112233u);
    EXPECT_EQ(drmModeRmFB(fd, d.fb), 0);
    EXPECT_EQ(drmModeRmFB(fd, d.fb), -ENOENT);
    EXPECT_EQ(sim_kms_fb_count(), 2);
}

TEST_F(SimKms, ModesetPlanesAndWhatTheScreenShows) {
    Dumb small = dumb(1280, 720, DRM_FORMAT_XRGB8888, 0);
    EXPECT_EQ(drmModeSetCrtc(fd, crtc0, small.fb, 0, 0, &conn, 1, &mode), -ENOSPC);
    Dumb standby = dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0x00204080);
    // Planes of an inactive CRTC refuse updates.
    EXPECT_EQ(
        drmModeSetPlane(fd, plane(1), crtc0, standby.fb, 0, 0, 0, 64, 64, 0, 0, 64 << 16, 64 << 16),
        -EINVAL);
    drmModeModeInfo odd = mode;
    odd.hsync_start = 100; // before the end of the active area
    EXPECT_EQ(drmModeSetCrtc(fd, crtc0, standby.fb, 0, 0, &conn, 1, &odd), -EINVAL);
    modeset(standby.fb);
    EXPECT_EQ(pixel("HDMI-A-1", 10, 10), 0x204080u);
    drmModeCrtc *cr = drmModeGetCrtc(fd, crtc0);
    EXPECT_EQ(cr->buffer_id, standby.fb);
    EXPECT_EQ(cr->mode_valid, 1);
    drmModeFreeCrtc(cr);

    // A decoder frame on the NV12 plane (Esmart0), scaled 2x into the middle.
    uint32_t pitch, coff;
    int frame = nv12_frame(320, 180, &pitch, &coff);
    uint32_t handle = 0, fb = 0;
    ASSERT_EQ(drmPrimeFDToHandle(fd, frame, &handle), 0);
    uint32_t again = 0;
    ASSERT_EQ(drmPrimeFDToHandle(fd, frame, &again), 0);
    EXPECT_EQ(again, handle);
    uint32_t h4[4] = {handle, handle}, p4[4] = {pitch, pitch}, o4[4] = {0, coff};
    ASSERT_EQ(drmModeAddFB2(fd, 320, 180, DRM_FORMAT_NV12, h4, p4, o4, &fb, 0), 0);
    uint32_t video = plane(3);
    ASSERT_EQ(
        drmModeSetPlane(fd, video, crtc0, fb, 0, 640, 360, 640, 360, 0, 0, 320 << 16, 180 << 16),
        0);
    EXPECT_EQ(pixel("HDMI-A-1", 640 + 20, 400), 0xffffffu);  // Y=235 white
    EXPECT_EQ(pixel("HDMI-A-1", 640 + 200, 400), 0x000000u); // Y=16 black
    EXPECT_TRUE(near_rgb(pixel("HDMI-A-1", 640 + 360, 400), 0xff0000u))
        << std::hex << pixel("HDMI-A-1", 1000, 400);
    EXPECT_TRUE(near_rgb(pixel("HDMI-A-1", 640 + 600, 400), 0x0000ffu));
    EXPECT_EQ(pixel("HDMI-A-1", 639, 400), 0x204080u); // the standby picture around it

    // Refusals a driver gives.
    auto setp = [&](uint32_t pl, uint32_t f, uint32_t sx, uint32_t sw, uint32_t dw) {
        return drmModeSetPlane(fd, pl, crtc0, f, 0, 0, 0, dw, 180, sx, 0, sw, 180 << 16);
    };
    EXPECT_EQ(setp(video, fb, 0, 321 << 16, 320), -ENOSPC);       // source past the frame
    EXPECT_EQ(setp(video, fb, 1 << 16, 300 << 16, 300), -EINVAL); // odd x of a YUV source
    EXPECT_EQ(setp(video, fb, 2 << 16, 300 << 16, 300), 0);
    EXPECT_EQ(setp(video, fb, 0, 320 << 16, 39), -ERANGE);     // more than 8x down
    EXPECT_EQ(setp(plane(0), fb, 0, 320 << 16, 320), -EINVAL); // Smart0 has no NV12
    EXPECT_EQ(setp(video, 12345, 0, 320 << 16, 320), -ENOENT);
    Dumb argb = dumb(64, 64, DRM_FORMAT_ARGB8888, 0x80ff0000);
    EXPECT_EQ(
        drmModeSetPlane(fd, plane(4), crtc0, argb.fb, 0, 0, 0, 64, 64, 0, 0, 64 << 16, 64 << 16),
        -EINVAL); // Cluster0 takes AFBC only

    // Half-transparent red on Smart1 (zpos 1): under the video until raised above it.
    ASSERT_EQ(
        drmModeSetPlane(fd, plane(1), crtc0, argb.fb, 0, 0, 0, 64, 64, 0, 0, 64 << 16, 64 << 16),
        0);
    EXPECT_EQ(pixel("HDMI-A-1", 5, 5), 0xffffffu);
    uint32_t zpos = prop(plane(1), DRM_MODE_OBJECT_PLANE, "zpos");
    ASSERT_EQ(drmModeObjectSetProperty(fd, plane(1), DRM_MODE_OBJECT_PLANE, zpos, 4), 0);
    EXPECT_EQ(drmModeObjectSetProperty(fd, plane(1), DRM_MODE_OBJECT_PLANE, zpos, 6), -EINVAL);
    EXPECT_EQ(pixel("HDMI-A-1", 5, 5), 0xff7f7fu); // over white
    ASSERT_EQ(drmModeSetPlane(fd, video, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(pixel("HDMI-A-1", 5, 5), 0x902040u); // over 0x204080, not premultiplied

    // Removing the primary's framebuffer switches the CRTC off.
    EXPECT_EQ(sim_kms_fb_count(), 4);
    ASSERT_EQ(drmModeRmFB(fd, standby.fb), 0);
    std::vector<uint8_t> rgb;
    uint32_t w, h;
    EXPECT_EQ(sim_kms_compose("HDMI-A-1", &rgb, &w, &h), -1);
    close(frame);
}

TEST_F(SimKms, AtomicModesetAndPlaneCommits) {
    Dumb standby = dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0x00ff00);
    uint32_t blob = 0;
    ASSERT_EQ(drmModeCreatePropertyBlob(fd, &mode, sizeof mode, &blob), 0);
    drmModeAtomicReq *req = drmModeAtomicAlloc();
    // Property ids are looked up with the atomic cap on.
    ASSERT_EQ(drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 1), 0);
    uint32_t p0 = plane(0);
    drmModeAtomicAddProperty(req, conn, prop(conn, DRM_MODE_OBJECT_CONNECTOR, "CRTC_ID"), crtc0);
    drmModeAtomicAddProperty(req, crtc0, prop(crtc0, DRM_MODE_OBJECT_CRTC, "MODE_ID"), blob);
    drmModeAtomicAddProperty(req, crtc0, prop(crtc0, DRM_MODE_OBJECT_CRTC, "ACTIVE"), 1);
    drmModeAtomicAddProperty(req, p0, prop(p0, DRM_MODE_OBJECT_PLANE, "FB_ID"), standby.fb);
    drmModeAtomicAddProperty(req, p0, prop(p0, DRM_MODE_OBJECT_PLANE, "CRTC_ID"), crtc0);
    drmModeAtomicAddProperty(req, p0, prop(p0, DRM_MODE_OBJECT_PLANE, "SRC_W"), 1920u << 16);
    drmModeAtomicAddProperty(req, p0, prop(p0, DRM_MODE_OBJECT_PLANE, "SRC_H"), 1080u << 16);
    drmModeAtomicAddProperty(req, p0, prop(p0, DRM_MODE_OBJECT_PLANE, "CRTC_W"), 1920);
    int n = drmModeAtomicAddProperty(req, p0, prop(p0, DRM_MODE_OBJECT_PLANE, "CRTC_H"), 1080);
    EXPECT_EQ(n, 9);
    EXPECT_EQ(drmModeAtomicCommit(fd, req, 0, nullptr), -EINVAL); // a modeset needs ALLOW_MODESET
    ASSERT_EQ(drmModeAtomicCommit(
                  fd, req, DRM_MODE_ATOMIC_TEST_ONLY | DRM_MODE_ATOMIC_ALLOW_MODESET, nullptr),
              0);
    EXPECT_EQ(pixel("HDMI-A-1", 0, 0), 0xdeadbeefu); // a test commit changes nothing
    ASSERT_EQ(drmModeAtomicCommit(fd, req, DRM_MODE_ATOMIC_ALLOW_MODESET, nullptr), 0);
    drmModeAtomicFree(req);
    EXPECT_EQ(drmModeDestroyPropertyBlob(fd, blob), 0); // the CRTC keeps its own reference
    EXPECT_EQ(pixel("HDMI-A-1", 0, 0), 0x00ff00u);
    uint64_t mode_id = 0;
    drmModeObjectProperties *op = drmModeObjectGetProperties(fd, crtc0, DRM_MODE_OBJECT_CRTC);
    for (uint32_t i = 0; i < op->count_props; ++i)
        if (op->props[i] == prop(crtc0, DRM_MODE_OBJECT_CRTC, "MODE_ID"))
            mode_id = op->prop_values[i];
    drmModeFreeObjectProperties(op);
    drmModePropertyBlobRes *b = drmModeGetPropertyBlob(fd, uint32_t(mode_id));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(memcmp(b->data, &mode, sizeof mode), 0);
    drmModeFreePropertyBlob(b);

    // Per-frame plane commits: bad values are refused, the state stays.
    req = drmModeAtomicAlloc();
    drmModeAtomicAddProperty(req, p0, prop(p0, DRM_MODE_OBJECT_PLANE, "FB_ID"), 4242);
    EXPECT_EQ(drmModeAtomicCommit(fd, req, 0, nullptr), -EINVAL);
    drmModeAtomicSetCursor(req, 0);
    drmModeAtomicAddProperty(req, p0, prop(p0, DRM_MODE_OBJECT_PLANE, "CRTC_ID"), 0);
    EXPECT_EQ(drmModeAtomicCommit(fd, req, 0, nullptr), -EINVAL); // FB without CRTC
    drmModeAtomicSetCursor(req, 0);
    drmModeAtomicAddProperty(req, p0, prop(p0, DRM_MODE_OBJECT_PLANE, "type"), 0);
    EXPECT_EQ(drmModeAtomicCommit(fd, req, 0, nullptr), -EINVAL); // immutable
    drmModeAtomicSetCursor(req, 0);
    drmModeAtomicAddProperty(req, 9999, prop(p0, DRM_MODE_OBJECT_PLANE, "FB_ID"), 0);
    EXPECT_EQ(drmModeAtomicCommit(fd, req, 0, nullptr), -ENOENT);
    drmModeAtomicSetCursor(req, 0);
    drmModeAtomicAddProperty(req, p0, prop(p0, DRM_MODE_OBJECT_PLANE, "CRTC_X"),
                             uint64_t(int64_t(-100)));
    EXPECT_EQ(drmModeAtomicCommit(fd, req, 0, nullptr), 0);
    EXPECT_EQ(pixel("HDMI-A-1", 1919, 0), 0u);
    drmModeAtomicFree(req);
    EXPECT_EQ(pixel("HDMI-A-1", 1819, 0), 0x00ff00u);
}

TEST_F(SimKms, VblankWaitsArePacedByTheMode) {
    drmVBlank vb{};
    vb.request.type = DRM_VBLANK_RELATIVE;
    vb.request.sequence = 1;
    EXPECT_EQ(drmWaitVBlank(fd, &vb), -1); // CRTC off
    EXPECT_EQ(errno, EINVAL);
    modeset(dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0).fb);
    unsigned seq[3];
    long long us[3];
    for (int i = 0; i < 3; ++i) {
        vb.request.type = DRM_VBLANK_RELATIVE;
        vb.request.sequence = 1;
        ASSERT_EQ(drmWaitVBlank(fd, &vb), 0);
        seq[i] = vb.reply.sequence;
        us[i] = vb.reply.tval_sec * 1000000LL + vb.reply.tval_usec;
    }
    EXPECT_EQ(seq[1], seq[0] + 1);
    EXPECT_EQ(seq[2], seq[1] + 1);
    // 2200 x 1125 at 148.5 MHz: 16666.67 us a frame.
    EXPECT_NEAR(double(us[2] - us[0]), 33333.3, 1.5);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    EXPECT_LE(us[2], now.tv_sec * 1000000LL + now.tv_nsec / 1000);
    // Relative 0 answers at once with the current count.
    vb.request.type = DRM_VBLANK_RELATIVE;
    vb.request.sequence = 0;
    ASSERT_EQ(drmWaitVBlank(fd, &vb), 0);
    EXPECT_GE(vb.reply.sequence, seq[2]);
    // CRTC index 1 in the high-CRTC bits: inactive.
    vb.request.type = drmVBlankSeqType(DRM_VBLANK_RELATIVE | (1 << DRM_VBLANK_HIGH_CRTC_SHIFT));
    vb.request.sequence = 1;
    EXPECT_EQ(drmWaitVBlank(fd, &vb), -1);
    EXPECT_EQ(errno, EINVAL);
}

// A small board with every knob and timeline feature.
const char knob_board[] = R"(
card /dev/dri/card0
driver vc4
appear_ms 500
knob forced_modes refuse
knob atomic_cap refuse
knob linear_argb refuse ovl
crtc A max=1920x1200
plane prim type=primary crtcs=A formats=XR24,AR24,NV12
plane ovl type=overlay crtcs=A formats=XR24,AR24,NV12 zpos=1-17:1
connector HDMI-A-1 edid_ms=1000 unplug_ms=3000 replug_ms=4000
mode 1920x1080i@50 148500 2640 1125
mode 1280x720@60 74250 1650 750 preferred
after_replug
mode 3840x2160@60 594000 4400 2250 preferred
connector HDMI-A-2 status=disconnected plug_ms=2000
mode 1280x720@60 74250 1650 750
)";

TEST(SimKmsBoard, KnobsAndTimeline) {
    ASSERT_EQ(sim_kms_use_board(knob_board), 0);
    EXPECT_EQ(sim_kms_open("/dev/dri/card0", O_RDWR), -1); // not there yet
    EXPECT_EQ(errno, ENOENT);
    sim_kms_advance_ms(500);
    int fd = sim_kms_open("/dev/dri/card0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(drmSetClientCap(fd, DRM_CLIENT_CAP_ATOMIC, 1), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
    drmModeRes *res = drmModeGetResources(fd);
    ASSERT_EQ(res->count_connectors, 2);
    auto modes = [&](int i, int *connection) {
        drmModeConnector *c = drmModeGetConnectorCurrent(fd, res->connectors[i]);
        int n = c->count_modes;
        *connection = c->connection;
        drmModeFreeConnector(c);
        return n;
    };
    int con = 0;
    EXPECT_EQ(modes(0, &con), 0); // connected, EDID still on its way
    EXPECT_EQ(con, DRM_MODE_CONNECTED);
    EXPECT_EQ(modes(1, &con), 0);
    EXPECT_EQ(con, DRM_MODE_DISCONNECTED);
    sim_kms_advance_ms(500);
    EXPECT_EQ(modes(0, &con), 2);
    drmModeConnector *c = drmModeGetConnector(fd, res->connectors[0]);
    drmModeModeInfo interlaced = c->modes[0];
    drmModeFreeConnector(c);
    EXPECT_EQ(interlaced.flags & DRM_MODE_FLAG_INTERLACE, uint32_t(DRM_MODE_FLAG_INTERLACE));
    EXPECT_STREQ(interlaced.name, "1920x1080i");
    EXPECT_EQ(interlaced.vrefresh, 50u);

    // The standard timing is refused: the EDID lists 1080i50 at another clock.
    drmModeModeInfo cea = interlaced;
    cea.clock = 74250;
    drmModePlaneRes *pr = drmModeGetPlaneResources(fd);
    uint32_t prim = pr->planes[0], ovl = pr->planes[1];
    drmModeFreePlaneResources(pr);
    drm_mode_create_dumb d{};
    d.width = 1920, d.height = 1080, d.bpp = 32;
    ASSERT_EQ(drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &d), 0);
    uint32_t h4[4] = {d.handle}, p4[4] = {d.pitch}, o4[4] = {}, xr = 0, ar = 0;
    ASSERT_EQ(drmModeAddFB2(fd, 1920, 1080, DRM_FORMAT_XRGB8888, h4, p4, o4, &xr, 0), 0);
    ASSERT_EQ(drmModeAddFB2(fd, 1920, 1080, DRM_FORMAT_ARGB8888, h4, p4, o4, &ar, 0), 0);
    uint32_t conn = res->connectors[0], crtc = res->crtcs[0];
    EXPECT_EQ(drmModeSetCrtc(fd, crtc, xr, 0, 0, &conn, 1, &cea), -EINVAL);
    ASSERT_EQ(drmModeSetCrtc(fd, crtc, xr, 0, 0, &conn, 1, &interlaced), 0);
    // Vblanks of an interlaced mode come per field: 148.5 MHz / 2640 / 1125 = 50 frames, 100
    // fields.
    drmVBlank vb{};
    vb.request.type = DRM_VBLANK_RELATIVE;
    vb.request.sequence = 1;
    ASSERT_EQ(drmWaitVBlank(fd, &vb), 0);
    long long t0 = vb.reply.tval_sec * 1000000LL + vb.reply.tval_usec;
    vb.request.type = DRM_VBLANK_RELATIVE;
    ASSERT_EQ(drmWaitVBlank(fd, &vb), 0);
    EXPECT_NEAR(double(vb.reply.tval_sec * 1000000LL + vb.reply.tval_usec - t0), 10000.0, 1.5);
    // Linear ARGB refused on "ovl", accepted on the primary.
    EXPECT_EQ(drmModeSetPlane(fd, ovl, crtc, ar, 0, 0, 0, 1920, 1080, 0, 0, 1920 << 16, 1080 << 16),
              -EINVAL);
    EXPECT_EQ(drmModeSetPlane(fd, ovl, crtc, xr, 0, 0, 0, 1920, 1080, 0, 0, 1920 << 16, 1080 << 16),
              0);
    EXPECT_EQ(
        drmModeSetPlane(fd, prim, crtc, ar, 0, 0, 0, 1920, 1080, 0, 0, 1920 << 16, 1080 << 16), 0);

    // Unplug, replug with another monitor; the second connector was plugged meanwhile.
    sim_kms_advance_ms(2000);
    EXPECT_EQ(modes(0, &con), 0);
    EXPECT_EQ(con, DRM_MODE_DISCONNECTED);
    EXPECT_EQ(modes(1, &con), 1);
    sim_kms_advance_ms(1000); // replugged: the EDID delay runs again
    EXPECT_EQ(modes(0, &con), 0);
    EXPECT_EQ(con, DRM_MODE_CONNECTED);
    sim_kms_advance_ms(1000);
    c = drmModeGetConnectorCurrent(fd, conn);
    ASSERT_EQ(c->count_modes, 1);
    EXPECT_EQ(c->modes[0].hdisplay, 3840);
    drmModeFreeConnector(c);
    drmModeFreeResources(res);
    // A plain close() releases the file at the next open: the new one becomes master.
    close(fd);
    fd = sim_kms_open("/dev/dri/card0", O_RDWR);
    EXPECT_EQ(drmIsMaster(fd), 1);
    EXPECT_EQ(sim_kms_fb_count(), 0);
    drmClose(fd);
}

TEST(SimKmsBoard, ParserReportsLinesAndPresetsLoad) {
    KmsBoard b;
    std::string err;
    EXPECT_EQ(
        kms_board_parse("card /dev/dri/card0\ncrtc A\nplane p type=primary crtcs=B formats=XR24\n",
                        &b, &err),
        -1);
    EXPECT_EQ(err, "line 3: unknown crtc 'B'");
    EXPECT_EQ(kms_board_parse("crtc A\n", &b, &err), -1);
    EXPECT_EQ(err, "line 1: 'crtc' before the first card line");
    EXPECT_EQ(
        kms_board_parse("card x\ncrtc A\nconnector HDMI-A-1\nmode 1920x1080@60 148500 1000 1125\n",
                        &b, &err),
        -1);
    EXPECT_EQ(err, "line 4: bad timing in mode '1920x1080@60'");

    struct Preset {
        const char *name;
        const char *driver;
        size_t connectors;
        int first_w;
    };
    const Preset presets[] = {{"rk3566-hdmi-dsi", "rockchip", 2, 1920},
                              {"vc4-4k-tv", "vc4", 2, 3840},
                              {"switcher-1080i-offspec", "rockchip", 1, 1920},
                              {"five-monitors", "rockchip", 5, 1920}};
    for (const Preset &p : presets) {
        setenv("VEX_SIM_BOARD", p.name, 1);
        std::string text;
        ASSERT_EQ(kms_board_load_text(&text, &err), 0) << err;
        ASSERT_EQ(kms_board_parse(text.c_str(), &b, &err), 0) << p.name << ": " << err;
        EXPECT_EQ(b.cards[0].driver, p.driver);
        EXPECT_EQ(b.cards[0].connectors.size(), p.connectors) << p.name;
        EXPECT_EQ(b.cards[0].connectors[0].modes.at(0).hdisplay, p.first_w) << p.name;
    }
    // The switcher advertises 1080i50 at the off-standard 148500 kHz.
    setenv("VEX_SIM_BOARD", "switcher-1080i-offspec", 1);
    std::string text;
    ASSERT_EQ(kms_board_load_text(&text, &err), 0);
    ASSERT_EQ(kms_board_parse(text.c_str(), &b, &err), 0);
    bool offspec = false;
    for (const drmModeModeInfo &m : b.cards[0].connectors[0].modes)
        offspec = offspec ||
                  ((m.flags & DRM_MODE_FLAG_INTERLACE) && m.vrefresh == 50 && m.clock == 148500);
    EXPECT_TRUE(offspec);
    setenv("VEX_SIM_BOARD", "no-such-board", 1);
    EXPECT_EQ(kms_board_load_text(&text, &err), -1);
    unsetenv("VEX_SIM_BOARD");
}

TEST_F(SimKms, ScreenshotsAndUpdateLog) {
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/vex-kms-test.XXXXXX";
    ASSERT_NE(mkdtemp(&dir[0]), nullptr);
    setenv("VEX_SIM_DIR", dir.c_str(), 1);
    std::string log = dir + "/updates.log";
    setenv("VEX_SIM_UPDATE_LOG", log.c_str(), 1);
    Dumb standby = dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0x00336699);
    modeset(standby.fb);
    uint32_t pitch, coff, handle, fb;
    int frame = nv12_frame(64, 36, &pitch, &coff);
    ASSERT_EQ(drmPrimeFDToHandle(fd, frame, &handle), 0);
    uint32_t h4[4] = {handle, handle}, p4[4] = {pitch, pitch}, o4[4] = {0, coff};
    ASSERT_EQ(drmModeAddFB2(fd, 64, 36, DRM_FORMAT_NV12, h4, p4, o4, &fb, 0), 0);
    // A source of 31.5 x 36 pixels, shown 63 x 72 at 10,20.
    ASSERT_EQ(drmModeSetPlane(fd, plane(3), crtc0, fb, 0, 10, 20, 63, 72, 0, 0, 63 << 15, 36 << 16),
              0);
    ASSERT_EQ(drmModeSetPlane(fd, plane(3), crtc0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), 0);
    unsetenv("VEX_SIM_UPDATE_LOG");
    std::ifstream in(log);
    std::string l1, l2, l3;
    std::getline(in, l1);
    std::getline(in, l2);
    std::getline(in, l3);
    char expect[128];
    snprintf(expect, sizeof expect,
             "HDMI-A-1 plane=%u fb=%u fmt=XR24 src=0,0,1920x1080 dst=0,0,1920x1080", plane(0),
             standby.fb);
    EXPECT_NE(l1.find(expect), std::string::npos) << l1;
    snprintf(expect, sizeof expect,
             "HDMI-A-1 plane=%u fb=%u fmt=NV12 src=0,0,31.5x36 dst=10,20,63x72", plane(3), fb);
    EXPECT_NE(l2.find(expect), std::string::npos) << l2;
    EXPECT_NE(l2.find("buf=dmabuf:"), std::string::npos) << l2;
    snprintf(expect, sizeof expect, "HDMI-A-1 plane=%u fb=0 off", plane(3));
    EXPECT_NE(l3.find(expect), std::string::npos) << l3;

    // A request file names the output; it is honoured at the next plane update.
    std::string req = dir + "/screenshot";
    FILE *f = fopen(req.c_str(), "w");
    fputs("HDMI-A-1\n", f);
    fclose(f);
    std::string png = dir + "/screen-HDMI-A-1.png";
    unlink(png.c_str());
    ASSERT_EQ(drmModeSetPlane(fd, plane(3), crtc0, fb, 0, 0, 0, 64, 36, 0, 0, 64 << 16, 36 << 16),
              0);
    EXPECT_NE(access(req.c_str(), F_OK), 0);
    TestImage img;
    ASSERT_TRUE(png_read(png, &img));
    ASSERT_EQ(img.w, 1920);
    ASSERT_EQ(img.h, 1080);
    EXPECT_EQ(img.at(2, 2) & 0xffffff, 0xffffffu);
    EXPECT_EQ(img.at(100, 100) & 0xffffff, 0x336699u);
    EXPECT_EQ(sim_kms_screenshot("DSI-1"), 0);
    close(frame);
    unlink(png.c_str());
    unlink(log.c_str());
    unsetenv("VEX_SIM_DIR");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

} // namespace

namespace {

TEST(SimKmsCompose, FormatsScalingClippingAndBlending) {
    // 2x2 RGB565: red, green / blue, white; shown 4x4 at -1,-1 on a 4x4 screen.
    const uint16_t rgb565[4] = {0xf800, 0x07e0, 0x001f, 0xffff};
    // 2x2 XBGR8888 (bytes R, G, B, X) scaled down to one pixel: the source pixel
    // under the centre is the bottom-right one.
    const uint8_t xb24[16] = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 20, 30, 0};
    // 2x2 NV21 (V before U) of a red-ish chroma, and a transparent ARGB pixel.
    const uint8_t nv21_y[4] = {81, 81, 81, 81}, nv21_vu[2] = {240, 90};
    const uint32_t argb[1] = {0x00ffffff};
    KmsLayer l[4] = {};
    l[0].data[0] = reinterpret_cast<const uint8_t *>(rgb565);
    l[0].pitch[0] = 4;
    l[0].format = DRM_FORMAT_RGB565;
    l[0].src_w = l[0].src_h = 2 << 16;
    l[0].dst_x = l[0].dst_y = -1;
    l[0].dst_w = l[0].dst_h = 4;
    l[1].data[0] = xb24;
    l[1].pitch[0] = 8;
    l[1].format = DRM_FORMAT_XBGR8888;
    l[1].src_w = l[1].src_h = 2 << 16;
    l[1].dst_x = 3, l[1].dst_y = 3, l[1].dst_w = l[1].dst_h = 1;
    l[2].data[0] = nv21_y;
    l[2].data[1] = nv21_vu;
    l[2].pitch[0] = l[2].pitch[1] = 2;
    l[2].format = DRM_FORMAT_NV21;
    l[2].src_w = l[2].src_h = 2 << 16;
    l[2].dst_x = 2, l[2].dst_w = 1, l[2].dst_h = 1;
    l[3].data[0] = reinterpret_cast<const uint8_t *>(argb);
    l[3].pitch[0] = 4;
    l[3].format = DRM_FORMAT_ARGB8888;
    l[3].src_w = l[3].src_h = 1 << 16;
    l[3].dst_w = l[3].dst_h = 4;
    for (KmsLayer &k : l) k.linear = true;
    uint8_t rgb[4 * 4 * 3];
    kms_compose(rgb, 4, 4, l, 4);
    auto px = [&](int x, int y) {
        const uint8_t *p = rgb + (y * 4 + x) * 3;
        return uint32_t(p[0]) << 16 | p[1] << 8 | p[2];
    };
    EXPECT_EQ(px(0, 0), 0xff0000u); // screen pixel 0 is source pixel 0 (dst -1..2 maps 2:1)
    EXPECT_EQ(px(1, 0), 0x00ff00u);
    EXPECT_EQ(px(0, 2), 0x0000ffu);
    EXPECT_EQ(px(1, 2), 0xffffffu);
    EXPECT_EQ(px(3, 3), 0x0a141eu);
    EXPECT_TRUE(near_rgb(px(2, 0), 0xff0000u)) << std::hex << px(2, 0);
    EXPECT_EQ(px(3, 0), 0u); // nothing there but the black background

    std::vector<uint8_t> png;
    kms_png_encode(rgb, 4, 4, &png);
    std::string path = test_output_path("sim_kms_compose.png");
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(png.data(), 1, png.size(), f);
    fclose(f);
    TestImage img;
    ASSERT_TRUE(png_read(path, &img));
    EXPECT_EQ(img.at(1, 2) & 0xffffff, 0xffffffu);
    EXPECT_EQ(img.at(3, 3) & 0xffffff, 0x0a141eu);
    unlink(path.c_str());
}

TEST_F(SimKms, FilesKeepTheirOwnHandlesFramebuffersAndMastership) {
    Dumb d = dumb(64, 64, DRM_FORMAT_XRGB8888, 0x00ff00ff);
    int other = sim_kms_open("/dev/dri/card0", O_RDWR);
    ASSERT_GE(other, 0);
    EXPECT_EQ(drmIsMaster(fd), 1);
    EXPECT_EQ(drmIsMaster(other), 0);
    EXPECT_EQ(drmSetMaster(other), -1);
    EXPECT_EQ(errno, EBUSY);
    int dmabuf = -1;
    ASSERT_EQ(drmPrimeHandleToFD(fd, d.handle, DRM_CLOEXEC, &dmabuf), 0);
    uint32_t h = 0, fb = 0;
    ASSERT_EQ(drmPrimeFDToHandle(other, dmabuf, &h), 0);
    EXPECT_NE(drmModeRmFB(other, d.fb), 0); // not its framebuffer
    uint32_t h4[4] = {h}, p4[4] = {d.pitch}, o4[4] = {};
    ASSERT_EQ(drmModeAddFB2(other, 64, 64, DRM_FORMAT_XRGB8888, h4, p4, o4, &fb, 0), 0);
    modeset(dumb(1920, 1080, DRM_FORMAT_XRGB8888, 0).fb);
    // Only the master sets planes; the master may show the other file's framebuffer.
    EXPECT_EQ(
        drmModeSetPlane(other, plane(1), crtc0, fb, 0, 0, 0, 64, 64, 0, 0, 64 << 16, 64 << 16),
        -EACCES);
    ASSERT_EQ(drmModeSetPlane(fd, plane(1), crtc0, fb, 0, 0, 0, 64, 64, 0, 0, 64 << 16, 64 << 16),
              0);
    EXPECT_EQ(pixel("HDMI-A-1", 0, 0), 0xff00ffu);
    // Closing the other file removes its framebuffer from the screen.
    drmClose(other);
    EXPECT_EQ(pixel("HDMI-A-1", 0, 0), 0u);
    ASSERT_EQ(drmDropMaster(fd), 0);
    EXPECT_EQ(drmModeSetPlane(fd, plane(1), crtc0, d.fb, 0, 0, 0, 64, 64, 0, 0, 64 << 16, 64 << 16),
              -EACCES);
    close(dmabuf);
}

TEST_F(SimKms, PresetsBehaveLikeTheirHardware) {
    setenv("VEX_SIM_BOARD", "vc4-4k-tv", 1);
    drmModeFreeResources(res);
    drmClose(fd);
    use(nullptr);
    unsetenv("VEX_SIM_BOARD");
    drmVersion *v = drmGetVersion(fd);
    EXPECT_STREQ(v->name, "vc4");
    drmFreeVersion(v);
    EXPECT_EQ(mode.hdisplay, 3840);
    Dumb big = dumb(3840, 2160, DRM_FORMAT_XRGB8888, 0);
    EXPECT_EQ(drmModeSetCrtc(fd, crtc0, big.fb, 0, 0, &conn, 1, &mode), -EINVAL); // 594 MHz
    drmModeConnector *c = drmModeGetConnector(fd, conn);
    drmModeModeInfo m30 = c->modes[8]; // 3840x2160@30, 297 MHz
    drmModeFreeConnector(c);
    EXPECT_EQ(m30.vrefresh, 30u);
    EXPECT_EQ(drmModeSetCrtc(fd, crtc0, big.fb, 0, 0, &conn, 1, &m30), 0);
    drmModePlaneRes *pr = drmModeGetPlaneResources(fd);
    EXPECT_EQ(pr->count_planes, 20u);
    drmModeFreePlaneResources(pr);
    EXPECT_EQ(drmModeObjectSetProperty(fd, plane(0), DRM_MODE_OBJECT_PLANE,
                                       prop(plane(0), DRM_MODE_OBJECT_PLANE, "zpos"), 1),
              -EINVAL); // the primary's zpos is fixed

    setenv("VEX_SIM_BOARD", "rk3566-hdmi-dsi", 1);
    drmModeFreeResources(res);
    drmClose(fd);
    use(nullptr);
    unsetenv("VEX_SIM_BOARD");
    ASSERT_EQ(res->count_connectors, 2);
    // Esmart0, the cursor-typed window of VP0, scans out NV12; VP1's only NV12 plane is its
    // primary.
    uint32_t type = prop(plane(2), DRM_MODE_OBJECT_PLANE, "type");
    drmModeObjectProperties *op = drmModeObjectGetProperties(fd, plane(2), DRM_MODE_OBJECT_PLANE);
    for (uint32_t i = 0; i < op->count_props; ++i) {
        if (op->props[i] == type) {
            EXPECT_EQ(op->prop_values[i], uint64_t(DRM_PLANE_TYPE_CURSOR));
        }
    }
    drmModeFreeObjectProperties(op);
    drmModePlane *esmart1 = drmModeGetPlane(fd, plane(1));
    EXPECT_EQ(esmart1->possible_crtcs, 2u);
    drmModeFreePlane(esmart1);
    uint32_t dsi = res->connectors[1];
    c = drmModeGetConnector(fd, dsi);
    drmModeModeInfo panel = c->modes[0];
    EXPECT_EQ(c->connector_type, uint32_t(DRM_MODE_CONNECTOR_DSI));
    drmModeFreeConnector(c);
    uint32_t pitch, coff, handle, fb;
    int frame = nv12_frame(720, 1280, &pitch, &coff);
    ASSERT_EQ(drmPrimeFDToHandle(fd, frame, &handle), 0);
    uint32_t h4[4] = {handle, handle}, p4[4] = {pitch, pitch}, o4[4] = {0, coff};
    ASSERT_EQ(drmModeAddFB2(fd, 720, 1280, DRM_FORMAT_NV12, h4, p4, o4, &fb, 0), 0);
    ASSERT_EQ(drmModeSetCrtc(fd, res->crtcs[1], fb, 0, 0, &dsi, 1, &panel), 0);
    EXPECT_EQ(pixel("DSI-1", 10, 10), 0xffffffu);
    EXPECT_EQ(drmModeSetCrtc(fd, crtc0, fb, 0, 0, &dsi, 1, &panel), -EINVAL); // Smart0 has no NV12
    close(frame);
}

} // namespace
