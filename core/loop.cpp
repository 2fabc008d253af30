#include "core/loop.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <drm_fourcc.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "core/clock.h"
#include "core/config.h"
#include "core/env.h"
#include "core/gate.h"
#include "core/health.h"
#include "core/live_tuning.h"
#include "core/log.h"
#include "display/output.h"
#include "display/panel.h"
#include "display/placement.h"
#include "display/plane_set.h"
#include "display/standby.h"
#include "gpu/gpu_pass.h"
#include "overlay/menu.h"
#include "overlay/overlay.h"
#include "spi/spi_tee.h"
#include "stream/mailbox.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/hwcontext_drm.h>
}

std::atomic<int64_t> g_shown_count{0};
int64_t g_drop_throttle;
int g_video_hidden;

namespace {

int64_t activity_ms;
int showing_video;
uint32_t fb_cur, fb_prev;
AVFrame *frame_cur, *frame_prev;
int cap = -1;
int64_t cap_last_us;
time_t last_tick;
bool hp_init;
int64_t last_hp_ms;
int64_t addfb_fail;
uint32_t g_setplane_warned;

// Takes the oldest frame, waiting up to `wait_ms` for one unless input has
// ended (wait_ms 0: no wait). *eof: no frame and input has ended.
AVFrame *take_frame(int wait_ms, bool *eof) {
    pthread_mutex_lock(&g_mb_lock);
    AVFrame *f = mb_take_locked();
    if (!f && !g_mb_eof && wait_ms > 0) {
        timespec deadline = realtime_deadline_ms(wait_ms);
        pthread_cond_timedwait(&g_mb_cv, &g_mb_lock, &deadline);
        f = mb_take_locked();
    }
    *eof = !f && g_mb_eof;
    pthread_mutex_unlock(&g_mb_lock);
    return f;
}

// Paced to output 0's vblank, or as soon as a frame arrives.
AVFrame *wait_for_frame(bool *eof) {
    if (g_smooth && nout > 0) {
        drmVBlank vb{};
        int ci = outs[0].crtc_index;
        unsigned type = DRM_VBLANK_RELATIVE;
        if (ci > 0)
            type |= ((unsigned)ci << DRM_VBLANK_HIGH_CRTC_SHIFT) & DRM_VBLANK_HIGH_CRTC_MASK;
        vb.request.type = (drmVBlankSeqType)type;
        vb.request.sequence = 1;
        if (drmWaitVBlank(drm_fd, &vb) == 0) {
            pthread_mutex_lock(&g_mb_lock);
            if (cadence_on()) cadence_vblank_sample(g_mb_n);
            AVFrame *f = mb_take_locked();
            *eof = !f && g_mb_eof;
            pthread_mutex_unlock(&g_mb_lock);
            return f;
        }
        return take_frame(16, eof);
    }
    if (g_smooth) return take_frame(16, eof);
    return take_frame(menu_is_open() ? 25 : 100, eof);
}

// Blanks the video of every output while a menu message is shown.
void blank_video() {
    for (int i = 0; i < nout; i++) video_plane_off(outs[i], true);
}

// A framebuffer straight on the decoder's dmabuf; 0 when it cannot be made.
uint32_t import_frame(const AVFrame *f, const AVDRMFrameDescriptor *desc) {
    const AVDRMLayerDescriptor &layer = desc->layers[0];
    uint32_t handles[4] = {}, pitches[4] = {}, offsets[4] = {};
    uint64_t mods[4] = {};
    for (int i = 0; i < layer.nb_planes && i < 4; i++) {
        const AVDRMPlaneDescriptor &p = layer.planes[i];
        const AVDRMObjectDescriptor &obj = desc->objects[p.object_index];
        if (drmPrimeFDToHandle(drm_fd, obj.fd, &handles[i]) != 0) return 0;
        pitches[i] = (uint32_t)p.pitch;
        offsets[i] = (uint32_t)p.offset;
        mods[i] = obj.format_modifier;
    }
    uint32_t fb = 0;
    uint32_t flags = mods[0] ? DRM_MODE_FB_MODIFIERS : 0;
    if (drmModeAddFB2WithModifiers(drm_fd, (uint32_t)f->width, (uint32_t)f->height, layer.format,
                                   handles, pitches, offsets, mods, &fb, flags) != 0) {
        addfb_fail += 1;
        if (addfb_fail == 1 || addfb_fail % 300 == 0) {
            uint32_t c = layer.format;
            vlog("AddFB2: %s (fail #%ld, format %c%c%c%c mod 0x%llx %dx%d — not scannable on this "
                 "display)",
                 strerror(errno), (long)addfb_fail, (char)(c & 0xff), (char)((c >> 8) & 0xff),
                 (char)((c >> 16) & 0xff), (char)((c >> 24) & 0xff), (unsigned long long)mods[0],
                 f->width, f->height);
            vlog_flush();
        }
        return 0;
    }
    return fb;
}

void place_on_output(int i, const AVFrame *f, const AVDRMFrameDescriptor *desc, uint32_t fb,
                     bool gpu) {
    Output &o = outs[i];
    int W = o.mode.hdisplay, H = o.mode.vdisplay;
    int sw = f->width, sh = f->height;
    if (gpu) {
        int gw = 0, gh = 0;
        gpu_render_size(&gw, &gh);
        if (gw > 0 && gh > 0) sw = gw, sh = gh;
    }
    int sidebar = o.menu_sidebar && (menu_is_open() || menu_message_shown());
    Placement pl = place_picture(W, H, sidebar, o.flip, o.aspect, o.fit ? o.fit : g_fit, sw, sh);

    const AVDRMLayerDescriptor &layer = desc->layers[0];
    if (o.primary_path && layer.format == DRM_FORMAT_NV12 && layer.nb_planes >= 2 && W > 0 &&
        H > 0) {
        uint32_t pfb =
            panel_present(&o, desc, f->width, f->height, pl.src.x, pl.src.y, pl.src.w, pl.src.h);
        if (pfb) {
            fb = pfb;
            pl.dst = PlaneRect{0, 0, W, H};
            pl.src = PlaneRect{0, 0, W, H};
        }
    }

    int r;
    if (o.atomic_ok) {
        r = atomic_setplane(&o, fb, pl.dst.x, pl.dst.y, pl.dst.w, pl.dst.h, pl.src.x, pl.src.y,
                            pl.src.w, pl.src.h);
        if (r < 0) errno = -r;
    } else {
        r = drmModeSetPlane(drm_fd, o.plane_id, o.crtc_id, fb, 0, pl.dst.x, pl.dst.y,
                            (uint32_t)pl.dst.w, (uint32_t)pl.dst.h, (uint32_t)pl.src.x << 16,
                            (uint32_t)pl.src.y << 16, (uint32_t)pl.src.w << 16,
                            (uint32_t)pl.src.h << 16);
    }
    if (r != 0 && !(g_setplane_warned & (1u << i))) {
        g_setplane_warned |= 1u << i;
        vlog("output %d (crtc %u plane %u) SetPlane FAILED: %s — src %dx%d → dst %dx%d at %d,%d", i,
             o.crtc_id, o.plane_id, strerror(errno), pl.src.w, pl.src.h, pl.dst.w, pl.dst.h,
             pl.dst.x, pl.dst.y);
    }
}

// Nothing of the standby picture may remain behind the video; a menu sidebar
// drawn into the standby buffer is drawn again.
void clear_standby_buffers() {
    for (int i = 0; i < nout; i++) {
        Output &o = outs[i];
        if (!o.standby_map) continue;
        for (uint32_t y = 0; y < o.mode.vdisplay; y++)
            memset(o.standby_map + (size_t)y * o.standby_pitch, 0, (size_t)o.mode.hdisplay * 4);
        if (o.menu_sidebar && (menu_is_open() || menu_message_shown())) menu_redraw_sidebar(&o);
    }
}

void present(AVFrame *f) {
    g_shown_count.fetch_add(1, std::memory_order_relaxed);
    const auto *desc =
        f->format == AV_PIX_FMT_DRM_PRIME ? (const AVDRMFrameDescriptor *)f->data[0] : nullptr;
    if (!desc || desc->nb_layers < 1) {
        av_frame_free(&f);
        return;
    }
    if (menu_message_shown()) {
        if (!g_video_hidden) blank_video();
        g_video_hidden = 1;
        av_frame_free(&f);
        return;
    }
    g_video_hidden = 0;
    snapshot_check();
    gpu_release_output();

    uint32_t fb = 0;
    bool gpu = false;
    if (gpu_pass_wanted() || spi_tee_enabled()) {
        fb = gl_dewarp_fb(desc, f->width, f->height);
        gpu = fb != 0;
    }
    if (!fb && g_rot_val) fb = rga_flip_fb(desc, f->width, f->height);
    if (!fb) fb = import_frame(f, desc);
    if (!fb) {
        av_frame_free(&f);
        return;
    }
    for (int i = 0; i < nout; i++) place_on_output(i, f, desc, fb, gpu);

    if (fb_prev) drmModeRmFB(drm_fd, fb_prev);
    av_frame_free(&frame_prev);
    frame_prev = frame_cur;
    frame_cur = f;
    fb_prev = fb_cur;
    fb_cur = fb;
    if (!showing_video) {
        clear_standby_buffers();
        showing_video = 1;
    }
}

// Control files, display-change check and overlay composition of one pass.
void service_controls() {
    int dirty = poll_menu();
    tuning_poll();

    int64_t now = mono_ms();
    if (!hp_init) {
        hp_init = true;
        last_hp_ms = now;
    } else if (now / 1000 > last_hp_ms / 1000) {
        last_hp_ms = now;
        if (display_changed()) {
            vlog_flush();
            exit(0);
        }
    }

    if (poll_connect())
        for (int i = 0; i < nout; i++) repaint_standby(&outs[i]);
    if (detect_poll()) dirty = 1;
    if (poll_osd()) dirty = 1;
    if (poll_telemetry()) dirty = 1;

    time_t t = time(nullptr);
    if (t != last_tick) {
        last_tick = t;
        for (int i = 0; i < nout; i++)
            if (outs[i].telem) dirty = 1;
        if (!showing_video && nout > 0 && outs[0].standby_map)
            spi_tee_publish_buffer(outs[0].standby_map, outs[0].standby_pitch,
                                   outs[0].mode.hdisplay, outs[0].mode.vdisplay);
    }
    if (dirty) compose_overlay();
}

// The display-rate cap: true when the frame may be shown.
bool admit_by_rate_cap() {
    if (cap < 0) {
        const char *v = env_get("VEX_KMS_DISPLAY_FPS");
        cap = v ? (int)parse_int_lenient(v) : 0;
    }
    if (cap <= 0) return true;
    int64_t now = mono_us();
    if (cap_last_us && now - cap_last_us < 1000000 / cap - 2000) return false;
    cap_last_us = now;
    return true;
}

} // namespace

bool loop_showing_video() {
    return showing_video != 0;
}

void loop_release_shown() {
    if (fb_cur) drmModeRmFB(drm_fd, fb_cur);
    if (fb_prev) drmModeRmFB(drm_fd, fb_prev);
    av_frame_free(&frame_cur);
    av_frame_free(&frame_prev);
    fb_cur = fb_prev = 0;
    showing_video = 0;
}

int presentation_loop(pthread_t reader) {
    activity_ms = mono_ms();
    hdmi_state_write("hidden");
    for (;;) {
        service_controls();
        bool eof = false;
        AVFrame *f = wait_for_frame(&eof);
        if (!f) {
            if (eof) {
                pthread_join(reader, nullptr);
                pthread_mutex_lock(&g_mb_lock);
                long fifo = (long)g_drop_fifo;
                pthread_mutex_unlock(&g_mb_lock);
                vlog("end of input — dec=%ld shown=%ld dropped fifo/throttle/gate=%ld/%ld/%ld",
                     (long)g_dec_count.load(std::memory_order_relaxed),
                     (long)g_shown_count.load(std::memory_order_relaxed), fifo,
                     (long)g_drop_throttle, (long)g_drop_gate);
                vlog_flush();
                return 0;
            }
            gate_gap(mono_ms() - activity_ms);
            continue;
        }
        if (!gate_frame(f)) continue;
        hdmi_state_write("live");
        if (!admit_by_rate_cap()) {
            av_frame_free(&f);
            g_drop_throttle += 1;
            activity_ms = mono_ms();
            continue;
        }
        int64_t start = mono_us();
        present(f);
        report_frame(start);
        vlog_flush();
        activity_ms = mono_ms();
    }
}
