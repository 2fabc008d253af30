#include "display/standby.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/env.h"
#include "core/log.h"
#include "display/output.h"
#include "display/placement.h"
#include "spi/spi_tee.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

uint32_t testfill_colour(int n) {
    static constexpr uint32_t colours[3] = {0x0000FF, 0xFF0000, 0x00FF00};
    return colours[n % 3];
}

void fill_xrgb(uint8_t *map, uint32_t pitch, uint32_t w, uint32_t h, uint32_t colour) {
    for (uint32_t y = 0; y < h; y++) {
        auto *row = (uint32_t *)(map + (size_t)y * pitch);
        for (uint32_t x = 0; x < w; x++) row[x] = colour;
    }
}

void standby_dest(int32_t W, int32_t H, int32_t pic_w, int32_t pic_h, const char *fit, int32_t *x,
                  int32_t *y, int32_t *w, int32_t *h) {
    if (fit && strcmp(fit, "stretch") == 0) {
        *x = *y = 0;
        *w = W;
        *h = H;
        return;
    }
    double r = pic_h > 0 ? (double)pic_w / pic_h : 1.0;
    int dx, dy, dw, dh;
    fit_dest(W, H, &dx, &dy, &dw, &dh, r);
    *x = dx, *y = dy, *w = dw, *h = dh;
}

namespace {

// Everything one decode holds, released in every case.
struct Decode {
    AVCodecContext *ctx = nullptr;
    AVPacket *pkt = nullptr;
    AVFrame *frame = nullptr;
    SwsContext *sws = nullptr;
    Decode() = default;
    Decode(const Decode &) = delete;
    Decode &operator=(const Decode &) = delete;
    ~Decode() {
        sws_freeContext(sws);
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avcodec_free_context(&ctx);
    }
};

// The JPEG decoder reports full-range YUV as the "J" formats; the scaler takes
// them as the plain formats with the range given separately.
AVPixelFormat plain_yuv(AVPixelFormat f, bool *full_range) {
    *full_range = true;
    switch (f) {
        case AV_PIX_FMT_YUVJ420P:
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P:
            return AV_PIX_FMT_YUV411P;
        default:
            *full_range = false;
            return f;
    }
}

// Reads the whole file into a packet; false (logged) when it cannot.
bool read_picture(const char *path, AVPacket *pkt) {
    FILE *f = fopen(path, "rb");
    if (!f) {
        vlog("standby %s: open failed: %s", path, strerror(errno));
        return false;
    }
    long size = fseek(f, 0, SEEK_END) == 0 ? ftell(f) : -1;
    if (size <= 0) {
        fclose(f);
        vlog("standby %s: empty file", path);
        return false;
    }
    bool ok = size < (1L << 30) && av_new_packet(pkt, (int)size) == 0 &&
              fseek(f, 0, SEEK_SET) == 0 && fread(pkt->data, 1, (size_t)size, f) == (size_t)size;
    fclose(f);
    if (!ok) vlog("standby %s: read failed (%ld B)", path, size);
    return ok;
}

} // namespace

void load_standby(uint8_t *map, uint32_t pitch, int32_t W, int32_t H, const char *fit) {
    const char *path = env_get("VEX_KMS_STANDBY");
    if (!path) path = "/opt/vex-fpv/standby.png";
    // Cleared first: a picture that fails leaves black, not the last painting
    // (which a repaint would flip over once more).
    for (int32_t r = 0; r < H; r++) memset(map + (size_t)r * pitch, 0, (size_t)W * 4);

    Decode d;
    d.pkt = av_packet_alloc();
    if (!d.pkt || !read_picture(path, d.pkt)) return;

    const uint8_t *b = d.pkt->data;
    bool jpeg = d.pkt->size >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF;
    const AVCodec *codec = avcodec_find_decoder(jpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_PNG);
    if (!codec) {
        vlog("standby %s: no %s decoder in this libavcodec", path, jpeg ? "JPEG" : "PNG");
        return;
    }
    d.ctx = avcodec_alloc_context3(codec);
    if (!d.ctx || avcodec_open2(d.ctx, codec, nullptr) < 0) {
        vlog("standby %s: decoder open failed", path);
        return;
    }
    d.frame = av_frame_alloc();
    int sent = avcodec_send_packet(d.ctx, d.pkt);
    if (sent < 0) {
        vlog("standby %s: decode failed (send=%d recv=%d)", path, sent, -1);
        return;
    }
    int got = d.frame ? avcodec_receive_frame(d.ctx, d.frame) : AVERROR(ENOMEM);
    if (got < 0) {
        vlog("standby %s: decode failed (send=%d recv=%d)", path, 0, got);
        return;
    }

    const AVFrame *fr = d.frame;
    int32_t x, y, w, h;
    standby_dest(W, H, fr->width, fr->height, fit, &x, &y, &w, &h);

    bool full_range;
    AVPixelFormat src_fmt = plain_yuv((AVPixelFormat)fr->format, &full_range);
    d.sws = sws_getContext(fr->width, fr->height, src_fmt, w, h, AV_PIX_FMT_BGRA, SWS_BILINEAR,
                           nullptr, nullptr, nullptr);
    if (!d.sws) {
        vlog("standby %s: cannot scale %dx%d fmt %d → %dx%d BGRA", path, fr->width, fr->height,
             fr->format, w, h);
        return;
    }
    if (full_range) {
        const int *coefs = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(d.sws, coefs, 1, coefs, 1, 0, 1 << 16, 1 << 16);
    }
    uint8_t *dst[4] = {map + (size_t)y * pitch + (size_t)x * 4, nullptr, nullptr, nullptr};
    int dst_stride[4] = {(int)pitch, 0, 0, 0};
    int rows = sws_scale(d.sws, fr->data, fr->linesize, 0, fr->height, dst, dst_stride);
    vlog("standby %s: %dx%d fmt %d → %dx%d at %d,%d (fit %s), %d rows painted", path, fr->width,
         fr->height, fr->format, w, h, x, y, fit ? fit : "fit", rows);
}

void flip_buffer_argb(uint8_t *px, uint32_t pitch, int32_t w, int32_t h, const char *flip) {
    if (!px || !flip || w < 1 || h < 1) return;
    auto row = [&](int32_t y) { return (uint32_t *)(px + (size_t)y * pitch); };
    auto mirror_row = [&](uint32_t *r) {
        for (int32_t x = 0; x < w / 2; x++) std::swap(r[x], r[w - 1 - x]);
    };
    if (strcmp(flip, "h") == 0) {
        for (int32_t y = 0; y < h; y++) mirror_row(row(y));
    } else if (strcmp(flip, "v") == 0) {
        for (int32_t y = 0; y < h / 2; y++) std::swap_ranges(row(y), row(y) + w, row(h - 1 - y));
    } else if (strcmp(flip, "180") == 0) {
        for (int32_t y = 0; y < h / 2; y++) {
            uint32_t *a = row(y), *b = row(h - 1 - y);
            for (int32_t x = 0; x < w; x++) std::swap(a[x], b[w - 1 - x]);
        }
        if (h & 1) mirror_row(row(h / 2));
    }
}

namespace {
StandbyPainters painters;
} // namespace

void standby_set_painters(const StandbyPainters &p) {
    painters = p;
}

void paint_standby_initial(uint8_t *map, uint32_t pitch, uint32_t w, uint32_t h, int index) {
    load_standby(map, pitch, (int32_t)w, (int32_t)h, nullptr);
    if (painters.captions) painters.captions(map, pitch, (int32_t)w, (int32_t)h, 0);
    if (index == 0) spi_tee_publish_buffer(map, pitch, w, h);
}

void repaint_standby(Output *o) {
    if (!o->standby_map) return;
    const int32_t W = o->mode.hdisplay, H = o->mode.vdisplay;
    load_standby(o->standby_map, o->standby_pitch, W, H, o->fit);
    const int32_t left = painters.sidebar_covers ? painters.sidebar_covers(o) : 0;
    if (painters.captions) painters.captions(o->standby_map, o->standby_pitch, W, H, left);
    if (o->flip) flip_buffer_argb(o->standby_map, o->standby_pitch, W, H, o->flip);
    // On an output without an overlay plane the open menu lives in this buffer.
    if (painters.sidebar) painters.sidebar(o);
    standby_key_for(o->flip, o->fit, o->standby_key, sizeof o->standby_key);
    if (o == &outs[0]) spi_tee_publish_buffer(o->standby_map, o->standby_pitch, W, H);
}
