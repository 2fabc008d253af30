#include "spi/spi_tee.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/clock.h"
#include "core/env.h"
#include "core/log.h"
#include "overlay/canvas.h"
#include "overlay/telemetry.h"
#include "overlay/text.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

int g_spi_tee_on = -1;
int g_spi_tee_w, g_spi_tee_h, g_spi_tee_fit;
pthread_mutex_t g_spi_tee_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

pthread_cond_t spi_cv = PTHREAD_COND_INITIALIZER;
uint8_t *shm_map;

// The read-back buffers and their queue (guarded by g_spi_tee_lock).
constexpr int spi_bufs = 3;
uint8_t *rb_px[spi_bufs];
int rb_state[spi_bufs];
int q_idx[spi_bufs], q_n, q_head, q_tail;
bool spi_running;
pthread_t spi_thread;
int live_ready; // 0 not set up, 1 ready, -1 off for good
double live_interval = -1;
int64_t live_last_us;
long live_updates; // guarded by g_spi_tee_lock

// The header strip: the writers' copy (guarded by g_spi_tee_lock) and the
// main thread's drawing buffer. hdr_on: -1 undecided, 0 off, 1 on.
int hdr_on = -1;
uint32_t *hdr_buf;
bool hdr_published; // hdr_buf holds a strip; guarded by g_spi_tee_lock
uint32_t *hdr_draw;
int64_t hdr_second = -1;
Telemetry hdr_telem;

// The sequence counter of the mapped frame (header word 3).
uint32_t *shm_seq;

void seq_bump() {
    __atomic_add_fetch(shm_seq, 1u, __ATOMIC_SEQ_CST);
    __sync_synchronize();
}

// The header strip of the current telemetry into hdr_draw; false when off.
bool draw_header() {
    if (hdr_on < 0) {
        const char *v = env_get("VEX_KMS_SPI_TELEMETRY");
        hdr_on = !(v && strcmp(v, "0") == 0);
    }
    if (!hdr_on) return false;
    const int W = g_spi_tee_w;
    const size_t n = (size_t)W * spi_hdr_rows;
    if (!hdr_draw) {
        hdr_draw = static_cast<uint32_t *>(calloc(n, 4));
        hdr_buf = static_cast<uint32_t *>(calloc(n, 4));
        if (!hdr_draw || !hdr_buf) {
            free(hdr_draw);
            free(hdr_buf);
            hdr_draw = hdr_buf = nullptr;
            hdr_on = 0;
            return false;
        }
    }
    const int mx = g_px_mx, my = g_px_my;
    g_px_mx = g_px_my = 0;
    auto *px = reinterpret_cast<uint8_t *>(hdr_draw);
    const uint32_t pitch = (uint32_t)W * 4;
    const int32_t ch = spi_hdr_rows;
    for (size_t i = 0; i < n; i++) hdr_draw[i] = 0x99080A0Fu;
    constexpr uint32_t icon = 0xFF8B94A6u;
    auto batt = [](int p) { return p < 16 ? 0xFFF87171u : p < 31 ? 0xFFFAB23Fu : 0xFF4ADE80u; };
    const Telemetry &t = g_telem;
    char s[32];
    int x = 6;
    if (t.valid && t.gog >= 0) {
        draw_goggles_icon(px, pitch, W, ch, 6, 7, 16, 12, icon);
        snprintf(s, sizeof s, "%d%%", (int)t.gog);
        x = 26 + ft_text(px, pitch, W, ch, 26, 18, s, batt(t.gog), 14) + 12;
    }
    if (t.valid && t.drn >= 0) {
        draw_drone_icon(px, pitch, W, ch, x, 7, 14, 12, icon);
        snprintf(s, sizeof s, "%d%%", (int)t.drn);
        x = x + 19 + ft_text(px, pitch, W, ch, x + 19, 18, s, batt(t.drn), 14) + 12;
    }
    const int temp = t.valid && t.tmp >= -99 ? t.tmp : board_temp_c();
    if (temp >= -99) {
        snprintf(s, sizeof s,
                 "%d\xB0"
                 "C",
                 temp);
        x += ft_text(px, pitch, W, ch, x, 18, s, temp < 80 ? 0xFFEEF0F4u : 0xFFFAB23Fu, 14) + 12;
    }
    if (t.valid && t.rec) {
        fill_round_rect(px, pitch, W, ch, x, 9, 7, 7, 3, 0xFFF87171u);
        const int r = t.recs < 0 ? 0 : t.recs;
        if (r < 3600)
            snprintf(s, sizeof s, "REC %d:%02d", r / 60, r % 60);
        else
            snprintf(s, sizeof s, "%d:%02d:%02d", r / 3600, (r / 60) % 60, r % 60);
        ft_text(px, pitch, W, ch, x + 11, 18, s, 0xFFF87171u, 14);
    }
    char up[24];
    fmt_uptime(up);
    if (up[0]) ft_text(px, pitch, W, ch, W - 6 - ft_text_w(up, 14), 18, up, icon, 14);
    g_px_mx = mx, g_px_my = my;
    return true;
}

// Redraws the strip when the second or the telemetry changed (or `force`) and
// hands it to the writers.
void header_refresh(bool force) {
    const int64_t sec = mono_ms() / 1000;
    if (!force && hdr_on >= 0 && sec == hdr_second &&
        memcmp(&hdr_telem, &g_telem, sizeof g_telem) == 0)
        return;
    hdr_second = sec;
    memcpy(&hdr_telem, &g_telem, sizeof g_telem);
    if (!draw_header()) return;
    pthread_mutex_lock(&g_spi_tee_lock);
    memcpy(hdr_buf, hdr_draw, (size_t)g_spi_tee_w * spi_hdr_rows * 4);
    hdr_published = true;
    pthread_mutex_unlock(&g_spi_tee_lock);
}

// Lays the strip over the frame; called with g_spi_tee_lock held.
void overlay_header(uint16_t *frame) {
    if (!hdr_published) return;
    const int rows = g_spi_tee_h < spi_hdr_rows ? g_spi_tee_h : spi_hdr_rows;
    spi_strip_composite(hdr_buf, rows, frame, g_spi_tee_w);
}

void *spi_thread_fn(void *) {
    pthread_mutex_lock(&g_spi_tee_lock);
    const bool run = spi_running;
    pthread_mutex_unlock(&g_spi_tee_lock);
    if (!run) return nullptr;
    uint16_t *px = spi_tee_pixels();
    const size_t n = (size_t)g_spi_tee_w * g_spi_tee_h;
    for (;;) {
        pthread_mutex_lock(&g_spi_tee_lock);
        while (spi_running && q_n == 0) pthread_cond_wait(&spi_cv, &g_spi_tee_lock);
        if (q_n == 0) {
            pthread_mutex_unlock(&g_spi_tee_lock);
            return nullptr;
        }
        const int i = q_idx[q_head];
        q_head = (q_head + 1) % spi_bufs;
        q_n--;
        // The frame is written under the lock, so the standby publisher never
        // interleaves with it.
        seq_bump();
        spi_rgba_to_rgb565(rb_px[i], px, n);
        overlay_header(px);
        __sync_synchronize();
        rb_state[i] = 0;
        live_updates++;
        seq_bump();
        pthread_mutex_unlock(&g_spi_tee_lock);
    }
}

} // namespace

bool spi_tee_parse_size(const char *value, int *w, int *h) {
    if (!value) return false;
    int a = 0, b = 0;
    if (sscanf(value, "%dx%d", &a, &b) != 2) return false;
    if (a < 1 || a > 1024 || b < 1 || b > 1024) return false;
    *w = a, *h = b;
    return true;
}

bool spi_tee_fit_mode(const char *value) {
    return value && (strcmp(value, "fit") == 0 || strcmp(value, "off") == 0);
}

double spi_tee_interval(const char *value) {
    const double fps = value ? strtod(value, nullptr) : 20.0;
    if (!(fps > 0)) return 0;
    const double s = 1.0 / fps - 0.003;
    return s > 0 ? s : 0;
}

void spi_rgba_to_rgb565(const uint8_t *src, uint16_t *dst, size_t n) {
    for (size_t i = 0; i < n; i++, src += 4) dst[i] = rgb565(src[0], src[1], src[2]);
}

SpiViewport spi_tee_viewport(int W, int H, int rw, int rh, bool fit) {
    const double sx = (double)W / rw, sy = (double)H / rh;
    const double s = fit ? (sx < sy ? sx : sy) : (sx > sy ? sx : sy);
    SpiViewport v;
    v.w = (int)(rw * s + 0.5);
    v.h = (int)(rh * s + 0.5);
    v.x = (W - v.w) / 2;
    v.y = (H - v.h) / 2;
    return v;
}

void spi_tee_standby_size(int W, int H, int w, int h, int *dw, int *dh) {
    const double sx = (double)W / w, sy = (double)H / h;
    const double s = sx < sy ? sx : sy;
    int a = (int)(w * s + 0.5) / 2 * 2, b = (int)(h * s + 0.5) / 2 * 2;
    if (a < 1 || b < 1 || a > W || b > H) a = W / 2 * 2, b = H / 2 * 2;
    *dw = a, *dh = b;
}

void spi_strip_composite(const uint32_t *strip, int rows, uint16_t *frame, int W) {
    for (int y = 0; y < rows; y++)
        for (int x = 0; x < W; x++) {
            const uint32_t c = strip[(size_t)y * W + x];
            const uint32_t a = c >> 24;
            if (!a) continue;
            uint16_t &f = frame[(size_t)y * W + x];
            const uint32_t fr = ((f >> 11) & 31) * 8, fg = ((f >> 5) & 63) * 4, fb = (f & 31) * 8;
            const uint32_t r = (((c >> 16) & 255) * a + fr * (255 - a)) / 255;
            const uint32_t g = (((c >> 8) & 255) * a + fg * (255 - a)) / 255;
            const uint32_t b = ((c & 255) * a + fb * (255 - a)) / 255;
            f = rgb565((uint8_t)r, (uint8_t)g, (uint8_t)b);
        }
}

bool spi_tee_enabled() {
    if (g_spi_tee_on >= 0) return g_spi_tee_on == 1;
    int w = 0, h = 0;
    if (spi_tee_parse_size(env_get("VEX_KMS_SPI_TEE"), &w, &h)) {
        g_spi_tee_w = w, g_spi_tee_h = h;
        g_spi_tee_fit = spi_tee_fit_mode(env_get("VEX_KMS_SPI_ASPECT"));
        g_spi_tee_on = 1;
    } else {
        g_spi_tee_on = 0;
    }
    return g_spi_tee_on == 1;
}

int spi_tee_shm_init() {
    if (shm_map) return 0;
    if (!spi_tee_enabled()) return -1;
    const int fd = shm_open(spi_tee_shm_name, O_RDWR | O_CREAT, 0644);
    if (fd < 0) {
        vlog_errno("spi-tee: shm_open");
        return -1;
    }
    const size_t size = spi_tee_header_bytes + (size_t)2 * g_spi_tee_w * g_spi_tee_h;
    if (ftruncate(fd, (off_t)size) != 0) {
        close(fd);
        return -1;
    }
    void *m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (m == MAP_FAILED) return -1;
    auto *hdr = static_cast<uint32_t *>(m);
    hdr[0] = spi_tee_magic;
    hdr[1] = (uint32_t)g_spi_tee_w;
    hdr[2] = (uint32_t)g_spi_tee_h;
    hdr[3] = 0;
    shm_seq = &hdr[3];
    shm_map = static_cast<uint8_t *>(m);
    return 0;
}

uint16_t *spi_tee_pixels() {
    return shm_map ? reinterpret_cast<uint16_t *>(shm_map + spi_tee_header_bytes) : nullptr;
}

void spi_tee_header_refresh() {
    if (!spi_tee_enabled()) return;
    header_refresh(false);
}

void spi_tee_publish_buffer(const uint8_t *map, uint32_t pitch, uint32_t w, uint32_t h) {
    if (!spi_tee_enabled() || (int)w <= 0 || (int)h <= 0 || !map) return;
    if (spi_tee_shm_init() != 0) return;
    const int W = g_spi_tee_w, H = g_spi_tee_h;
    int dw = 0, dh = 0;
    spi_tee_standby_size(W, H, (int)w, (int)h, &dw, &dh);
    if (dw < 1 || dh < 1) return;
    // Scaled in BGRA (libswscale cannot interpolate chroma fully into
    // RGB565), then truncated to RGB565 like the live copy.
    SwsContext *sws = sws_getContext((int)w, (int)h, AV_PIX_FMT_BGRA, dw, dh, AV_PIX_FMT_BGRA,
                                     SWS_BILINEAR, nullptr, nullptr, nullptr);
    auto *tmp = static_cast<uint8_t *>(malloc((size_t)dw * dh * 4));
    if (!sws || !tmp) {
        sws_freeContext(sws);
        free(tmp);
        return;
    }
    const uint8_t *src[4] = {map, nullptr, nullptr, nullptr};
    const int src_stride[4] = {(int)pitch, 0, 0, 0};
    uint8_t *dst[4] = {tmp, nullptr, nullptr, nullptr};
    const int dst_stride[4] = {dw * 4, 0, 0, 0};
    sws_scale(sws, src, src_stride, 0, (int)h, dst, dst_stride);
    sws_freeContext(sws);
    header_refresh(true);

    pthread_mutex_lock(&g_spi_tee_lock);
    uint16_t *px = spi_tee_pixels();
    seq_bump();
    memset(px, 0, (size_t)W * H * 2);
    const int x0 = (W - dw) / 2, y0 = (H - dh) / 2;
    for (int y = 0; y < dh; y++) {
        const uint8_t *row = tmp + (size_t)y * dw * 4;
        uint16_t *out = px + (size_t)(y0 + y) * W + x0;
        for (int x = 0; x < dw; x++) out[x] = rgb565(row[x * 4 + 2], row[x * 4 + 1], row[x * 4]);
    }
    overlay_header(px);
    seq_bump();
    pthread_mutex_unlock(&g_spi_tee_lock);
    free(tmp);
}

bool spi_tee_live_start() {
    if (live_ready) return live_ready == 1;
    live_ready = -1;
    if (spi_tee_shm_init() != 0) return false;
    const size_t bytes = (size_t)g_spi_tee_w * g_spi_tee_h * 4;
    for (uint8_t *&b : rb_px) {
        if (!b) b = static_cast<uint8_t *>(malloc(bytes));
        if (!b) return false;
    }
    pthread_mutex_lock(&g_spi_tee_lock);
    for (int &s : rb_state) s = 0;
    spi_running = true;
    pthread_mutex_unlock(&g_spi_tee_lock);
    if (pthread_create(&spi_thread, nullptr, spi_thread_fn, nullptr) != 0) {
        pthread_mutex_lock(&g_spi_tee_lock);
        spi_running = false;
        pthread_mutex_unlock(&g_spi_tee_lock);
        return false;
    }
    pthread_detach(spi_thread);
    live_ready = 1;
    vlog("SPI tee ON → shm %s (%dx%d RGB565, %s)", spi_tee_shm_name, g_spi_tee_w, g_spi_tee_h,
         g_spi_tee_fit ? "fit" : "fill");
    return true;
}

bool spi_tee_live_due() {
    if (live_interval < 0) live_interval = spi_tee_interval(env_get("VEX_KMS_SPI_FPS"));
    if (live_interval <= 0) return true;
    const int64_t now = mono_us();
    if (live_last_us && (double)(now - live_last_us) < live_interval * 1e6) return false;
    live_last_us = now;
    return true;
}

int spi_tee_live_take(uint8_t **px) {
    pthread_mutex_lock(&g_spi_tee_lock);
    for (int i = 0; i < spi_bufs; i++)
        if (rb_state[i] == 0) {
            rb_state[i] = 1;
            pthread_mutex_unlock(&g_spi_tee_lock);
            *px = rb_px[i];
            return i;
        }
    pthread_mutex_unlock(&g_spi_tee_lock);
    return -1;
}

void spi_tee_live_queue(int index) {
    header_refresh(false);
    pthread_mutex_lock(&g_spi_tee_lock);
    q_idx[q_tail] = index;
    q_tail = (q_tail + 1) % spi_bufs;
    q_n++;
    pthread_cond_signal(&spi_cv);
    pthread_mutex_unlock(&g_spi_tee_lock);
}

long spi_tee_live_count() {
    pthread_mutex_lock(&g_spi_tee_lock);
    const long n = live_updates;
    pthread_mutex_unlock(&g_spi_tee_lock);
    return n;
}
