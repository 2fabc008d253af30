#include "core/loop.h"

#include <cstring>
#include <ctime>
#include <drm_fourcc.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "core/clock.h"
#include "core/config.h"
#include "core/counters.h"
#include "core/env.h"
#include "core/exit_status.h"
#include "core/gate.h"
#include "core/health.h"
#include "core/live_tuning.h"
#include "core/log.h"
#include "display/output.h"
#include "display/panel.h"
#include "display/standby.h"
#include "display/video_plane.h"
#include "gpu/gpu_pass.h"
#include "overlay/menu.h"
#include "overlay/overlay.h"
#include "spi/spi_tee.h"
#include "stream/mailbox.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/hwcontext_drm.h>
}

int g_video_hidden;

namespace {

int64_t activity_ms;
int cap = -1;
int64_t cap_last_us;
time_t last_tick;
bool hp_init;
int64_t last_hp_ms;

// On drivers whose plane updates wait for the next vblank themselves (the
// atomic helpers turn a legacy plane set into a blocking commit), a vblank
// wait of our own before each update would present only every other vblank.
// Such updates are recognised by their duration on the paced output: three in
// a row that took half a frame period or more. From then on the commits pace
// the loop and frames are taken as they come.
struct CommitPacing {
    int slow_in_row = 0;
    bool by_commits = false;
};
CommitPacing commit_pacing;

// Notes how long one paced update took; true when it just showed that the
// updates block.
bool note_commit_time(CommitPacing *p, int64_t took_us, int64_t period_us) {
    if (p->by_commits || period_us <= 0) return false;
    p->slow_in_row = took_us * 2 >= period_us ? p->slow_in_row + 1 : 0;
    if (p->slow_in_row < 3) return false;
    p->by_commits = true;
    return true;
}

int64_t frame_period_us(const drmModeModeInfo &m) {
    if (!m.clock || !m.htotal || !m.vtotal) return 0;
    int64_t us = (int64_t)m.htotal * m.vtotal * 1000 / m.clock;
    return (m.flags & DRM_MODE_FLAG_INTERLACE) ? us / 2 : us;
}

// Opt-in (VEX_KMS_STANDING_DROP=N, N > 0): in vblank pacing (by our own
// vblank wait or by blocking commits), a second frame that stood in the
// mailbox at N vblanks in a row has added a whole period of latency for good;
// the older frame is then dropped once (a mailbox drop).
int standing_drop = -1;
int standing_vblanks;

AVFrame *drop_standing_frame(AVFrame *f, int fill, bool *eof) {
    if (standing_drop < 0) standing_drop = (int)env_int_or("VEX_KMS_STANDING_DROP", 0);
    if (standing_drop <= 0 || !f) return f;
    standing_vblanks = fill >= 2 ? standing_vblanks + 1 : 0;
    if (standing_vblanks < standing_drop) return f;
    standing_vblanks = 0;
    AVFrame *newer = mb_take(0, eof);
    if (!newer) return f;
    av_frame_free(&f);
    count_one(g_drop_fifo);
    return newer;
}

bool vblank_paced() {
    return g_smooth && nout > 0 && !commit_pacing.by_commits;
}

// Paced to output 0's vblank, or as soon as a frame arrives.
AVFrame *wait_for_frame(bool *eof) {
    if (vblank_paced()) {
        drmVBlank vb{};
        int ci = outs[0].crtc_index;
        unsigned type = DRM_VBLANK_RELATIVE;
        if (ci > 0)
            type |= ((unsigned)ci << DRM_VBLANK_HIGH_CRTC_SHIFT) & DRM_VBLANK_HIGH_CRTC_MASK;
        vb.request.type = (drmVBlankSeqType)type;
        vb.request.sequence = 1;
        if (drmWaitVBlank(drm_fd, &vb) == 0) {
            int fill = 0;
            AVFrame *f = mb_take(0, eof, &fill);
            if (cadence_on()) cadence_vblank_sample(fill);
            return drop_standing_frame(f, fill, eof);
        }
        return mb_take(16, eof);
    }
    if (commit_pacing.by_commits) {
        // Paced by blocking commits: each pass takes one vblank, so what the
        // mailbox holds now is what a vblank wait would have found.
        int fill = 0;
        AVFrame *f = mb_take(16, eof, &fill);
        if (cadence_on()) cadence_vblank_sample(fill);
        return drop_standing_frame(f, fill, eof);
    }
    if (g_smooth) return mb_take(16, eof);
    return mb_take(menu_is_open() ? 25 : 100, eof);
}

// Nothing of the standby picture may remain behind the video; a menu sidebar
// drawn into the standby buffer is drawn again.
void clear_standby_buffers() {
    for (int i = 0; i < nout; i++) {
        Output &o = outs[i];
        if (!o.standby_map) continue;
        for (uint32_t y = 0; y < o.mode.vdisplay; y++)
            memset(o.standby_map + (size_t)y * o.standby_pitch, 0, (size_t)o.mode.hdisplay * 4);
        if (menu_sidebar_covers(&o) > 0) menu_redraw_sidebar(&o);
    }
}

void present(AVFrame *f) {
    count_one(g_shown_count);
    const auto *desc =
        f->format == AV_PIX_FMT_DRM_PRIME ? (const AVDRMFrameDescriptor *)f->data[0] : nullptr;
    if (!desc || desc->nb_layers < 1) {
        av_frame_free(&f);
        return;
    }
    if (menu_message_shown()) {
        if (!g_video_hidden) video_blank_all();
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
    if (!fb) fb = video_import(f, desc);
    if (!fb) {
        av_frame_free(&f);
        return;
    }
    int sw = f->width, sh = f->height;
    if (gpu) {
        int gw = 0, gh = 0;
        gpu_render_size(&gw, &gh);
        if (gw > 0 && gh > 0) sw = gw, sh = gh;
    }
    for (int i = 0; i < nout; i++) {
        int64_t t0 = mono_us();
        video_place(i, desc, f->width, f->height, fb, sw, sh, menu_sidebar_covers(&outs[i]) > 0);
        int64_t took = mono_us() - t0;
        if (i == 0 && vblank_paced() &&
            note_commit_time(&commit_pacing, took, frame_period_us(outs[0].mode))) {
            vlog("plane updates wait for the vblank (%.1f ms) — pacing by the commits, without a "
                 "vblank wait of our own",
                 took / 1000.0);
            vlog_flush();
        }
    }
    if (video_keep(fb, f)) clear_standby_buffers();
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
        if (display_changed()) exit_process(display_changed_exit);
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
        if (!video_showing() && nout > 0 && outs[0].standby_map)
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
                vlog("end of input — dec=%ld shown=%ld dropped fifo/throttle/gate=%ld/%ld/%ld",
                     count_of(g_dec_count), count_of(g_shown_count), count_of(g_drop_fifo),
                     count_of(g_drop_throttle), count_of(g_drop_gate));
                vlog_flush();
                return 0;
            }
            gate_gap(mono_ms() - activity_ms, video_showing());
            continue;
        }
        GateResult verdict = gate_frame(f, video_showing());
        if (verdict != GateResult::show) {
            if (verdict == GateResult::released) activity_ms = mono_ms();
            continue;
        }
        hdmi_state_write("live");
        if (!admit_by_rate_cap()) {
            av_frame_free(&f);
            count_one(g_drop_throttle);
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
