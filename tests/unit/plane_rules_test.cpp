// Which planes the display start takes: the video plane by format and
// modifier (read from the simulated card's IN_FORMATS), and the stacking of
// the menu's overlay plane above the video.
#include <gtest/gtest.h>

#include <cerrno>
#include <drm_fourcc.h>
#include <fcntl.h>
#include <string>
#include <vector>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "display/output.h"
#include "display/overlay_plane.h"
#include "display/props.h"
#include "sim/kms_sim.h"
#include "sim/sim_env.h"

namespace {

// A port whose Cluster window takes NV12 only with AFBC next to an Esmart
// window that takes it linear.
const char *const board = R"(card /dev/dri/card0
crtc VP0
plane Smart0 type=primary crtcs=VP0 formats=XR24
plane Cluster0 type=overlay crtcs=VP0 formats=XR24,AR24,NV12:afbc16x16 modifiers=linear,afbc16x16
plane Esmart0 type=overlay crtcs=VP0 formats=XR24,NV12
connector HDMI-A-1
mode 1920x1080@60 148500 2200 1125 preferred
)";

constexpr uint64_t afbc =
    DRM_FORMAT_MOD_ARM_AFBC(AFBC_FORMAT_MOD_BLOCK_SIZE_16x16 | AFBC_FORMAT_MOD_SPARSE);

TEST(PlaneRules, VideoPlaneByFormatAndModifier) {
    ASSERT_EQ(sim_kms_use_board(board), 0);
    ASSERT_GE(drm_fd = sim_kms_open("/dev/dri/card0", O_RDWR | O_CLOEXEC), 0);
    drmSetClientCap(drm_fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
    drmModePlaneRes *pr = drmModeGetPlaneResources(drm_fd);
    ASSERT_TRUE(pr && pr->count_planes == 3);
    const uint32_t smart = pr->planes[0], cluster = pr->planes[1], esmart = pr->planes[2];
    drmModeFreePlaneResources(pr);

    // The card's own blobs, as the plane choice reads them.
    EXPECT_FALSE(plane_takes(cluster, DRM_FORMAT_NV12, DRM_FORMAT_MOD_LINEAR));
    EXPECT_TRUE(plane_takes(cluster, DRM_FORMAT_NV12, afbc));
    EXPECT_TRUE(plane_takes(cluster, DRM_FORMAT_ARGB8888, DRM_FORMAT_MOD_LINEAR));
    EXPECT_TRUE(plane_takes(esmart, DRM_FORMAT_NV12, DRM_FORMAT_MOD_LINEAR));
    EXPECT_FALSE(plane_takes(esmart, DRM_FORMAT_NV12, afbc));
    EXPECT_FALSE(plane_takes(smart, DRM_FORMAT_NV12, DRM_FORMAT_MOD_LINEAR));

    // And the card refuses what the blob does not pair: a linear NV12 frame
    // on the Cluster window, taken by the Esmart one.
    drm_mode_create_dumb d{96, 64, 8, 0, 0, 0, 0};
    ASSERT_EQ(drmIoctl(drm_fd, DRM_IOCTL_MODE_CREATE_DUMB, &d), 0);
    uint32_t h4[4] = {d.handle, d.handle}, p4[4] = {64, 64}, o4[4] = {0, 64 * 64}, nv12 = 0;
    ASSERT_EQ(drmModeAddFB2(drm_fd, 64, 64, DRM_FORMAT_NV12, h4, p4, o4, &nv12, 0), 0);
    drm_mode_create_dumb x{1080, 1920, 32, 0, 0, 0, 0};
    ASSERT_EQ(drmIoctl(drm_fd, DRM_IOCTL_MODE_CREATE_DUMB, &x), 0);
    uint32_t xh[4] = {x.handle}, xp[4] = {x.pitch}, xo[4] = {}, standby = 0;
    ASSERT_EQ(drmModeAddFB2(drm_fd, 1920, 1080, DRM_FORMAT_XRGB8888, xh, xp, xo, &standby, 0), 0);
    drmModeRes *res = drmModeGetResources(drm_fd);
    uint32_t conn = res->connectors[0], crtc = res->crtcs[0];
    drmModeConnector *c = drmModeGetConnector(drm_fd, conn);
    ASSERT_EQ(drmModeSetCrtc(drm_fd, crtc, standby, 0, 0, &conn, 1, &c->modes[0]), 0);
    drmModeFreeConnector(c);
    drmModeFreeResources(res);
    auto show = [&](uint32_t plane) {
        return drmModeSetPlane(drm_fd, plane, crtc, nv12, 0, 0, 0, 64, 64, 0, 0, 64 << 16,
                               64 << 16);
    };
    EXPECT_EQ(show(cluster), -EINVAL);
    EXPECT_EQ(show(esmart), 0);
    drmClose(drm_fd);
    drm_fd = -1;

    // A card without modifier support publishes no IN_FORMATS: its planes
    // take their formats linear.
    std::string plain = board;
    plain.replace(plain.find("NV12:afbc16x16 modifiers=linear,afbc16x16"), 41, "NV12");
    ASSERT_EQ(sim_kms_use_board((plain + "knob fb_modifiers refuse\n").c_str()), 0);
    ASSERT_GE(drm_fd = sim_kms_open("/dev/dri/card0", O_RDWR | O_CLOEXEC), 0);
    drmSetClientCap(drm_fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
    EXPECT_TRUE(plane_takes(cluster, DRM_FORMAT_NV12, DRM_FORMAT_MOD_LINEAR));
    EXPECT_FALSE(plane_takes(cluster, DRM_FORMAT_NV12, afbc));
    EXPECT_FALSE(plane_takes(smart, DRM_FORMAT_NV12, DRM_FORMAT_MOD_LINEAR));
    drmClose(drm_fd);
    drm_fd = -1;

    // Malformed blobs are told apart from a plain "no".
    drm_format_modifier_blob h{};
    h.count_formats = 1000, h.formats_offset = sizeof h;
    EXPECT_EQ(in_formats_pairs(&h, sizeof h, DRM_FORMAT_NV12, 0), -1);
    EXPECT_EQ(in_formats_pairs(&h, 4, DRM_FORMAT_NV12, 0), -1);
    h.count_formats = 0;
    EXPECT_EQ(in_formats_pairs(&h, sizeof h, DRM_FORMAT_NV12, 0), 0);
}

TEST(PlaneRules, OverlayStackedAboveTheVideo) {
    auto range = [](uint64_t value, uint64_t lo, uint64_t hi, bool settable = true) {
        return RangeProp{1, value, lo, hi, settable};
    };
    auto plan = [](RangeProp overlay, RangeProp video) {
        const ZposPlan z = plan_overlay_zpos(overlay, video);
        return std::vector<uint64_t>{z.set_overlay, z.overlay, z.set_video, z.video, z.above};
    };
    using V = std::vector<uint64_t>;
    // The overlay goes to the top of its range, above a video plane below it.
    EXPECT_EQ(plan(range(2, 0, 7), range(6, 0, 7)), (V{1, 7, 0, 6, 1}));
    // A video plane at the top comes down one.
    EXPECT_EQ(plan(range(3, 0, 7), range(7, 0, 7)), (V{1, 7, 1, 6, 1}));
    // ... unless its own range or an immutable zpos keeps it there.
    EXPECT_EQ(plan(range(3, 0, 7), range(7, 7, 9)), (V{1, 7, 0, 7, 0}));
    EXPECT_EQ(plan(range(3, 0, 5), range(5, 5, 5, false)), (V{1, 5, 0, 5, 0}));
    // An immutable overlay zpos stays; the video moves below it if it can.
    EXPECT_EQ(plan(range(17, 17, 17, false), range(1, 1, 17)), (V{0, 17, 0, 1, 1}));
    EXPECT_EQ(plan(range(4, 4, 4, false), range(6, 0, 7)), (V{0, 4, 1, 3, 1}));
    // Without a zpos on the overlay nothing is set; without one on the video
    // the overlay still goes to the top.
    EXPECT_EQ(plan(RangeProp{}, range(1, 0, 7)), (V{0, 0, 0, 0, 0}));
    EXPECT_EQ(plan(range(1, 0, 7), RangeProp{}), (V{1, 7, 0, 0, 1}));
}

} // namespace
