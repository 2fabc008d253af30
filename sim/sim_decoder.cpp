// The simulated board's hardware video decoders (see sim_decoder.h).
//
// A simulated decoder context is an ordinary FFmpeg context allocated without
// a codec; its work is done by an inner software decoder context. Frames come
// back as DRM PRIME frames: NV12 in a memfd (the board's dma-buf), pitch
// aligned to 64 bytes, rows padded to a multiple of 16, from a fixed pool of
// output buffers per decoder. A buffer stays busy until every reference to its
// frame is gone; frees may come from any thread and after the context itself
// was freed, so the pool is reference-counted and outlives its context.

#include "sim/sim_decoder.h"
#include "sim/kms_state.h"
#include "sim/sim_encoder.h"
#include "sim/sim_env.h"
#include "stream/ffmpeg_compat.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/hwcontext_drm.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}
#include <drm_fourcc.h>

#include <sys/mman.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>

extern "C" {
const AVCodec *__real_avcodec_find_decoder_by_name(const char *name);
AVCodecContext *__real_avcodec_alloc_context3(const AVCodec *codec);
int __real_avcodec_open2(AVCodecContext *avctx, const AVCodec *codec, AVDictionary **options);
int __real_avcodec_send_packet(AVCodecContext *avctx, const AVPacket *avpkt);
int __real_avcodec_receive_frame(AVCodecContext *avctx, AVFrame *frame);
void __real_avcodec_flush_buffers(AVCodecContext *avctx);
void __real_avcodec_free_context(AVCodecContext **avctx);
int __real_av_hwdevice_ctx_create(AVBufferRef **device_ctx, enum AVHWDeviceType type,
                                  const char *device, AVDictionary *opts, int flags);

const AVCodec *__wrap_avcodec_find_decoder_by_name(const char *name);
AVCodecContext *__wrap_avcodec_alloc_context3(const AVCodec *codec);
int __wrap_avcodec_open2(AVCodecContext *avctx, const AVCodec *codec, AVDictionary **options);
int __wrap_avcodec_send_packet(AVCodecContext *avctx, const AVPacket *avpkt);
int __wrap_avcodec_receive_frame(AVCodecContext *avctx, AVFrame *frame);
void __wrap_avcodec_flush_buffers(AVCodecContext *avctx);
void __wrap_avcodec_free_context(AVCodecContext **avctx);
int __wrap_av_hwdevice_ctx_create(AVBufferRef **device_ctx, enum AVHWDeviceType type,
                                  const char *device, AVDictionary *opts, int flags);
}

namespace {

// ---- The decoders the board offers ------------------------------------------

struct SimCodecName {
    const char *name;
    AVCodecID id;
    const char *wrapper;
    const char *long_name;
};

constexpr SimCodecName sim_codec_names[] = {
    {"h264_v4l2m2m", AV_CODEC_ID_H264, "v4l2m2m", "V4L2 mem2mem H.264 decoder (simulated board)"},
    {"h264_rkmpp", AV_CODEC_ID_H264, "rkmpp", "Rockchip MPP H.264 decoder (simulated board)"},
    {"hevc_rkmpp", AV_CODEC_ID_HEVC, "rkmpp", "Rockchip MPP HEVC decoder (simulated board)"},
    {"hevc", AV_CODEC_ID_HEVC, nullptr, "HEVC via V4L2 requests (simulated board)"},
};
constexpr int kSimCodecs = sizeof(sim_codec_names) / sizeof(sim_codec_names[0]);

// The public AVCodec is all that exists of a simulated codec. The zeroed room
// behind it keeps a library routine that wrongly looks past the public part
// inside this object.
struct SimCodec {
    AVCodec codec;
    unsigned char room[512];
};

SimCodec g_sim_codecs[kSimCodecs];
std::once_flag g_sim_codecs_once;

void sim_codecs_init() {
    for (int i = 0; i < kSimCodecs; i++) {
        AVCodec &c = g_sim_codecs[i].codec;
        c.name = sim_codec_names[i].name;
        c.long_name = sim_codec_names[i].long_name;
        c.type = AVMEDIA_TYPE_VIDEO;
        c.id = sim_codec_names[i].id;
        c.capabilities = AV_CODEC_CAP_DELAY | AV_CODEC_CAP_HARDWARE | AV_CODEC_CAP_AVOID_PROBING;
        c.wrapper_name = sim_codec_names[i].wrapper;
    }
}

bool is_sim_codec(const AVCodec *codec) {
    for (const SimCodec &s : g_sim_codecs)
        if (codec == &s.codec) return true;
    return false;
}

// ---- Output buffer pool -------------------------------------------------------

constexpr int kMaxBuffers = 64;
constexpr int kDefaultBuffers = 16;

struct DecPool;

struct DecBuffer {
    DecPool *pool;
    int fd; // memfd, -1 until first use
    uint8_t *map;
    size_t size;
    bool busy;
    AVDRMFrameDescriptor desc;
};

struct DecPool {
    std::mutex lock;
    int refs; // the decoder context's reference plus one per busy buffer
    int count;
    DecBuffer bufs[kMaxBuffers];
};

DecPool *pool_new(int count) {
    DecPool *p = new (std::nothrow) DecPool();
    if (!p) return nullptr;
    p->refs = 1;
    p->count = count;
    for (int i = 0; i < count; i++) {
        p->bufs[i].pool = p;
        p->bufs[i].fd = -1;
    }
    return p;
}

void pool_destroy(DecPool *p) {
    for (int i = 0; i < p->count; i++) {
        DecBuffer &b = p->bufs[i];
        if (b.map) munmap(b.map, b.size);
        if (b.fd >= 0) close(b.fd);
    }
    delete p;
}

void pool_unref(DecPool *p) {
    bool last;
    {
        std::lock_guard<std::mutex> g(p->lock);
        last = --p->refs == 0;
    }
    if (last) pool_destroy(p);
}

// AVBuffer free callback: the frame's last reference is gone.
void buffer_release(void *opaque, uint8_t *) {
    DecBuffer *b = static_cast<DecBuffer *>(opaque);
    DecPool *p = b->pool;
    bool last;
    {
        std::lock_guard<std::mutex> g(p->lock);
        b->busy = false;
        last = --p->refs == 0;
    }
    if (last) pool_destroy(p);
}

// (Re)creates the buffer's memory when it is smaller than `size`. 0 or -1.
int buffer_reserve(DecBuffer *b, size_t size) {
    if (b->map && b->size >= size) return 0;
    if (b->map) munmap(b->map, b->size);
    if (b->fd >= 0) close(b->fd);
    b->map = nullptr;
    b->size = 0;
    b->fd = memfd_create("vex-sim-dec", MFD_CLOEXEC);
    if (b->fd < 0) return -1;
    if (ftruncate(b->fd, (off_t)size) < 0) return -1;
    void *m = kms_own_mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, b->fd, 0);
    if (m == MAP_FAILED) return -1;
    b->map = static_cast<uint8_t *>(m);
    b->size = size;
    return 0;
}

// Takes a free buffer of at least `size` bytes: 0, AVERROR(EAGAIN) when all are
// busy, AVERROR(ENOMEM) when its memory cannot be made.
int pool_get(DecPool *p, size_t size, DecBuffer **out) {
    DecBuffer *b = nullptr;
    {
        std::lock_guard<std::mutex> g(p->lock);
        for (int i = 0; i < p->count && !b; i++)
            if (!p->bufs[i].busy) b = &p->bufs[i];
        if (!b) return AVERROR(EAGAIN);
        b->busy = true;
        p->refs++;
    }
    if (buffer_reserve(b, size) < 0) {
        buffer_release(b, nullptr);
        return AVERROR(ENOMEM);
    }
    *out = b;
    return 0;
}

// ---- Picture layout and conversion -----------------------------------------

struct Nv12Layout {
    int pitch;            // bytes per row, both planes
    int rows;             // luma rows including padding; chroma has rows / 2
    size_t chroma_offset; // pitch * rows
    size_t size;          // both planes
};

Nv12Layout nv12_layout(int width, int height) {
    Nv12Layout l;
    l.pitch = (width + 63) & ~63;
    l.rows = (height + 15) & ~15;
    l.chroma_offset = (size_t)l.pitch * l.rows;
    l.size = l.chroma_offset + (size_t)l.pitch * (l.rows / 2);
    return l;
}

// A hardware decoder writes its pictures by DMA, past the CPU's caches. The
// copies below do the same where the CPU can (non-temporal stores), so that
// pictures held on screen do not evict the decoder's own working set: a cost
// only the simulation has. `dst` rows are 64-byte aligned (the pitch is).
#if defined(__SSE2__)
void copy_row(uint8_t *dst, const uint8_t *src, int n) {
    int i = 0;
    for (; i + 16 <= n; i += 16)
        _mm_stream_si128(reinterpret_cast<__m128i *>(dst + i),
                         _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i)));
    if (i < n) memcpy(dst + i, src + i, (size_t)(n - i));
}

void interleave_row(uint8_t *dst, const uint8_t *u, const uint8_t *v, int n) {
    int c = 0;
    for (; c + 16 <= n; c += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(u + c));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(v + c));
        _mm_stream_si128(reinterpret_cast<__m128i *>(dst + 2 * c), _mm_unpacklo_epi8(a, b));
        _mm_stream_si128(reinterpret_cast<__m128i *>(dst + 2 * c + 16), _mm_unpackhi_epi8(a, b));
    }
    for (; c < n; c++) {
        dst[2 * c] = u[c];
        dst[2 * c + 1] = v[c];
    }
}

void copies_done() {
    _mm_sfence();
}
#else
void copy_row(uint8_t *dst, const uint8_t *src, int n) {
    memcpy(dst, src, (size_t)n);
}

void interleave_row(uint8_t *dst, const uint8_t *u, const uint8_t *v, int n) {
    for (int c = 0; c < n; c++) {
        dst[2 * c] = u[c];
        dst[2 * c + 1] = v[c];
    }
}

void copies_done() {}
#endif

// Writes `src` as NV12 into `y` (luma_rows rows) and `uv` (chroma_rows rows),
// both `pitch` bytes per row; everything outside the picture becomes black.
// 0 or -1.
int write_nv12(const AVFrame *src, uint8_t *y, uint8_t *uv, int pitch, int luma_rows,
               int chroma_rows, SwsContext **sws) {
    const int w = src->width, h = src->height;
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    for (int r = 0; r < luma_rows; r++) {
        const int from = r < h ? w : 0;
        if (from < pitch) memset(y + (size_t)r * pitch + from, 16, (size_t)(pitch - from));
    }
    for (int r = 0; r < chroma_rows; r++) {
        const int from = r < ch ? 2 * cw : 0;
        if (from < pitch) memset(uv + (size_t)r * pitch + from, 128, (size_t)(pitch - from));
    }
    if (src->format == AV_PIX_FMT_YUV420P || src->format == AV_PIX_FMT_YUVJ420P) {
        for (int r = 0; r < h; r++)
            copy_row(y + (size_t)r * pitch, src->data[0] + (ptrdiff_t)r * src->linesize[0], w);
        for (int r = 0; r < ch; r++)
            interleave_row(uv + (size_t)r * pitch, src->data[1] + (ptrdiff_t)r * src->linesize[1],
                           src->data[2] + (ptrdiff_t)r * src->linesize[2], cw);
        copies_done();
        return 0;
    }
    *sws = sws_getCachedContext(*sws, w, h, (AVPixelFormat)src->format, w, h, AV_PIX_FMT_NV12,
                                SWS_POINT, nullptr, nullptr, nullptr);
    if (!*sws) return -1;
    uint8_t *const dst[4] = {y, uv, nullptr, nullptr};
    const int dst_pitch[4] = {pitch, pitch, 0, 0};
    const int ret =
        sws_scale(*sws, (const uint8_t *const *)src->data, src->linesize, 0, h, dst, dst_pitch);
    return ret == h ? 0 : -1;
}

// A corrupted stream can leave any number in the decoder's enum fields (an
// unbounded chroma sample location from the SPS, say); the board's decoders
// report only what the types define. Read as a plain int so that no value of
// the enum type is ever formed from it.
template <typename E>
E valid_enum(const E &v, int count, E unspecified) {
    static_assert(sizeof(E) == sizeof(int), "enum stored as int");
    int i;
    memcpy(&i, &v, sizeof i);
    return i >= 0 && i < count ? static_cast<E>(i) : unspecified;
}

} // namespace

void sim_copy_frame_fields(AVFrame *dst, const AVFrame *src) {
    dst->width = src->width;
    dst->height = src->height;
    dst->pts = src->pts;
    dst->pkt_dts = src->pkt_dts;
    dst->best_effort_timestamp = src->best_effort_timestamp;
    dst->sample_aspect_ratio = src->sample_aspect_ratio;
    dst->color_range = valid_enum(src->color_range, AVCOL_RANGE_NB, AVCOL_RANGE_UNSPECIFIED);
    dst->color_primaries = valid_enum(src->color_primaries, AVCOL_PRI_NB, AVCOL_PRI_UNSPECIFIED);
    dst->color_trc = valid_enum(src->color_trc, AVCOL_TRC_NB, AVCOL_TRC_UNSPECIFIED);
    dst->colorspace = valid_enum(src->colorspace, AVCOL_SPC_NB, AVCOL_SPC_UNSPECIFIED);
    dst->chroma_location =
        valid_enum(src->chroma_location, AVCHROMA_LOC_NB, AVCHROMA_LOC_UNSPECIFIED);
    dst->pict_type = valid_enum(src->pict_type, AV_PICTURE_TYPE_BI + 1, AV_PICTURE_TYPE_NONE);
    dst->repeat_pict = src->repeat_pict;
    // Bit 2 is the key-frame bit that the program sets on its own.
    dst->flags = src->flags & ~2;
#if VEX_AVFRAME_HAS_FLAG_FIELDS
    dst->key_frame = src->key_frame;
    dst->interlaced_frame = src->interlaced_frame;
    dst->top_field_first = src->top_field_first;
#endif
}

namespace {

// ---- Decoder contexts -----------------------------------------------------------

struct SimDec {
    const AVCodec *codec;  // the simulated codec
    AVCodecContext *inner; // software decoder doing the work, set by open
    bool open;
    bool drm;         // frames as DRM PRIME (else software NV12)
    AVFrame *pending; // decoded, waiting for an output buffer
    SwsContext *sws;
    DecPool *pool;
    // With VEX_SIM_DEC_LAG_US (`lag_us`, read at open): pictures taken out of
    // the software decoder right after their packet, each with the time
    // (monotonic µs) from which it may be handed back, and whether the
    // software decoder has ended.
    long long lag_us = 0;
    std::deque<std::pair<AVFrame *, long long>> lagged;
    bool inner_ended = false;
};

// Live simulated contexts. A plain array rather than a map: it is never
// destroyed, so contexts still open at exit stay reachable for leak checkers.
constexpr int kMaxDecs = 64;
struct DecEntry {
    AVCodecContext *avctx;
    SimDec *dec;
};

// Guards g_decs and the knob and stall state below.
std::mutex g_dec_lock;
std::array<DecEntry, kMaxDecs> g_decs;

long long g_stall_after; // 0: off
bool g_stall_until_flush;
int g_stall_state;     // 0 armed, 1 stalled, 2 over
long long g_busy_from; // 0: off
long long g_busy_count;
long long g_delay_us;
long long g_lag_us;
int g_buffers = kDefaultBuffers;

std::atomic<long long> g_frames{0};
std::atomic<long long> g_packets{0};
std::atomic<long long> g_refused{0};
std::atomic<long long> g_opens{0};
std::atomic<long long> g_send_calls{0};
std::once_flag g_totals_once;

void print_totals() {
    fprintf(stderr, "vex-sim: decoder produced %lld frames (%lld packets sent, %lld refused)\n",
            g_frames.load(), g_packets.load(), g_refused.load());
}

SimDec *find_dec(AVCodecContext *avctx) {
    if (!avctx) return nullptr;
    std::lock_guard<std::mutex> g(g_dec_lock);
    for (const DecEntry &e : g_decs)
        if (e.avctx == avctx) return e.dec;
    return nullptr;
}

SimDec *add_dec(AVCodecContext *avctx, const AVCodec *codec) {
    std::lock_guard<std::mutex> g(g_dec_lock);
    for (DecEntry &e : g_decs) {
        if (e.avctx) continue;
        SimDec *d = new (std::nothrow) SimDec();
        if (!d) return nullptr;
        d->codec = codec;
        e.avctx = avctx;
        e.dec = d;
        return d;
    }
    return nullptr;
}

// Removes the context from the table and returns its state, or null.
SimDec *take_dec(AVCodecContext *avctx) {
    std::lock_guard<std::mutex> g(g_dec_lock);
    for (DecEntry &e : g_decs) {
        if (e.avctx != avctx) continue;
        SimDec *d = e.dec;
        e = DecEntry{};
        return d;
    }
    return nullptr;
}

long long env_ll(const char *name, long long dflt) {
    const char *v = getenv(name);
    if (!v || !v[0]) return dflt;
    return strtoll(v, nullptr, 10);
}

void read_knobs() {
    std::lock_guard<std::mutex> g(g_dec_lock);
    const long long after = env_ll("VEX_SIM_DEC_STALL_AFTER", 0);
    if (after != g_stall_after) {
        g_stall_after = after;
        g_stall_state = 0;
    }
    g_stall_until_flush = env_ll("VEX_SIM_DEC_STALL_UNTIL_FLUSH", 0) == 1;
    g_busy_from = 0;
    g_busy_count = 0;
    if (const char *v = getenv("VEX_SIM_DEC_BUSY")) {
        char *end;
        g_busy_from = strtoll(v, &end, 10);
        g_busy_count = *end == ':' ? strtoll(end + 1, nullptr, 10) : 1000000;
    }
    g_delay_us = env_ll("VEX_SIM_DEC_DELAY_US", 0);
    g_lag_us = env_ll("VEX_SIM_DEC_LAG_US", 0);
    const long long n = env_ll("VEX_SIM_DEC_BUFFERS", kDefaultBuffers);
    g_buffers = n < 1 ? kDefaultBuffers : n > kMaxBuffers ? kMaxBuffers : (int)n;
}

// Whether output is being withheld; starts the stall once enough frames were
// handed back.
bool stalled() {
    std::lock_guard<std::mutex> g(g_dec_lock);
    if (g_stall_state == 0 && g_stall_after > 0 && g_frames.load() >= g_stall_after)
        g_stall_state = 1;
    return g_stall_state == 1;
}

bool busy_refuses(long long send_no) {
    std::lock_guard<std::mutex> g(g_dec_lock);
    return g_busy_from > 0 && send_no >= g_busy_from && send_no - g_busy_from < g_busy_count;
}

void clear_lagged(SimDec *d) {
    for (auto &f : d->lagged) av_frame_free(&f.first);
    d->lagged.clear();
    d->inner_ended = false;
}

void discard_output(SimDec *d) {
    av_frame_unref(d->pending);
    while (__real_avcodec_receive_frame(d->inner, d->pending) >= 0) av_frame_unref(d->pending);
    clear_lagged(d);
}

int sim_open(AVCodecContext *avctx, SimDec *d, AVDictionary **options) {
    if (d->open) return 0;
    std::call_once(g_totals_once, [] { atexit(print_totals); });
    read_knobs();
    if (sim_knob_lists("VEX_SIM_DEC_OPEN_FAIL", ++g_opens)) return AVERROR(EIO);

    const AVCodec *sw = avcodec_find_decoder(d->codec->id);
    if (!sw) return AVERROR_DECODER_NOT_FOUND;
    AVCodecContext *in = __real_avcodec_alloc_context3(sw);
    if (!in) return AVERROR(ENOMEM);
    if (avctx->extradata && avctx->extradata_size > 0) {
        in->extradata = static_cast<uint8_t *>(
            av_mallocz((size_t)avctx->extradata_size + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!in->extradata) {
            __real_avcodec_free_context(&in);
            return AVERROR(ENOMEM);
        }
        memcpy(in->extradata, avctx->extradata, (size_t)avctx->extradata_size);
        in->extradata_size = avctx->extradata_size;
    }
    in->flags = avctx->flags;
    in->flags2 = avctx->flags2;
    in->pkt_timebase = avctx->pkt_timebase;
    // Slice threads only: frame threads would add frames of latency.
    in->thread_count = 2;
    in->thread_type = FF_THREAD_SLICE;
    int ret = __real_avcodec_open2(in, sw, options);
    if (ret < 0) {
        __real_avcodec_free_context(&in);
        return ret;
    }

    static const AVPixelFormat offered[] = {AV_PIX_FMT_DRM_PRIME, AV_PIX_FMT_NV12, AV_PIX_FMT_NONE};
    const AVPixelFormat fmt = avctx->get_format ? avctx->get_format(avctx, offered)
                                                : avcodec_default_get_format(avctx, offered);
    if (fmt != AV_PIX_FMT_DRM_PRIME && fmt != AV_PIX_FMT_NV12) {
        __real_avcodec_free_context(&in);
        return AVERROR(EINVAL);
    }
    int buffers;
    {
        std::lock_guard<std::mutex> g(g_dec_lock);
        buffers = g_buffers;
        d->lag_us = g_lag_us;
    }
    d->pool = pool_new(buffers);
    d->pending = av_frame_alloc();
    if (!d->pool || !d->pending) {
        if (d->pool) pool_unref(d->pool);
        av_frame_free(&d->pending);
        d->pool = nullptr;
        __real_avcodec_free_context(&in);
        return AVERROR(ENOMEM);
    }
    d->inner = in;
    d->drm = fmt == AV_PIX_FMT_DRM_PRIME;
    d->open = true;
    avctx->codec = d->codec;
    avctx->pix_fmt = fmt;
    avctx->sw_pix_fmt = AV_PIX_FMT_NV12;
    return 0;
}

void sim_close(SimDec *d) {
    clear_lagged(d);
    if (d->inner) __real_avcodec_free_context(&d->inner);
    av_frame_free(&d->pending);
    sws_freeContext(d->sws);
    if (d->pool) pool_unref(d->pool);
    delete d;
}

int hand_back_drm(SimDec *d, AVFrame *out) {
    const AVFrame *src = d->pending;
    const Nv12Layout l = nv12_layout(src->width, src->height);
    DecBuffer *b = nullptr;
    int ret = pool_get(d->pool, l.size, &b);
    if (ret < 0) return ret;
    if (write_nv12(src, b->map, b->map + l.chroma_offset, l.pitch, l.rows, l.rows / 2, &d->sws) <
        0) {
        buffer_release(b, nullptr);
        return AVERROR(ENOSYS);
    }
    AVDRMFrameDescriptor &desc = b->desc;
    memset(&desc, 0, sizeof(desc));
    desc.nb_objects = 1;
    desc.objects[0].fd = b->fd;
    desc.objects[0].size = b->size;
    desc.objects[0].format_modifier = DRM_FORMAT_MOD_LINEAR;
    desc.nb_layers = 1;
    desc.layers[0].format = DRM_FORMAT_NV12;
    desc.layers[0].nb_planes = 2;
    desc.layers[0].planes[0].object_index = 0;
    desc.layers[0].planes[0].offset = 0;
    desc.layers[0].planes[0].pitch = l.pitch;
    desc.layers[0].planes[1].object_index = 0;
    desc.layers[0].planes[1].offset = (ptrdiff_t)l.chroma_offset;
    desc.layers[0].planes[1].pitch = l.pitch;

    out->buf[0] =
        av_buffer_create(reinterpret_cast<uint8_t *>(&desc), sizeof(desc), buffer_release, b, 0);
    if (!out->buf[0]) {
        buffer_release(b, nullptr);
        return AVERROR(ENOMEM);
    }
    out->data[0] = reinterpret_cast<uint8_t *>(&desc);
    out->format = AV_PIX_FMT_DRM_PRIME;
    sim_copy_frame_fields(out, src);
    return 0;
}

int hand_back_nv12(SimDec *d, AVFrame *out) {
    const AVFrame *src = d->pending;
    out->format = AV_PIX_FMT_NV12;
    out->width = src->width;
    out->height = src->height;
    int ret = av_frame_get_buffer(out, 0);
    if (ret < 0) return ret;
    if (out->linesize[0] != out->linesize[1] ||
        write_nv12(src, out->data[0], out->data[1], out->linesize[0], src->height,
                   (src->height + 1) / 2, &d->sws) < 0) {
        av_frame_unref(out);
        return AVERROR(ENOSYS);
    }
    sim_copy_frame_fields(out, src);
    return 0;
}

// With a lag: everything the software decoder has ready, taken out now, to be
// handed back from `lag` µs on (a decoder working beside the CPU).
void take_lagged(SimDec *d, long long lag) {
    const long long at = kms_now_ns() / 1000 + lag;
    for (;;) {
        AVFrame *f = av_frame_alloc();
        const int ret = f ? __real_avcodec_receive_frame(d->inner, f) : AVERROR(ENOMEM);
        if (ret < 0) {
            av_frame_free(&f);
            if (ret == AVERROR_EOF) d->inner_ended = true;
            return;
        }
        d->lagged.emplace_back(f, at);
    }
}

// The next decoded picture into d->pending: from the software decoder, or
// with a lag from those taken out of it once their time has come.
int next_picture(SimDec *d) {
    if (d->lagged.empty() && !d->inner_ended)
        return __real_avcodec_receive_frame(d->inner, d->pending);
    if (d->lagged.empty()) return AVERROR_EOF;
    if (kms_now_ns() / 1000 < d->lagged.front().second) return AVERROR(EAGAIN);
    av_frame_move_ref(d->pending, d->lagged.front().first);
    av_frame_free(&d->lagged.front().first);
    d->lagged.pop_front();
    return 0;
}

int sim_receive(AVCodecContext *avctx, SimDec *d, AVFrame *frame) {
    av_frame_unref(frame);
    if (!d->open) return AVERROR(EINVAL);
    for (;;) {
        if (!d->pending->buf[0]) {
            const int ret = next_picture(d);
            if (ret < 0) return ret;
        }
        if (!stalled()) break;
        av_frame_unref(d->pending);
    }
    const int ret = d->drm ? hand_back_drm(d, frame) : hand_back_nv12(d, frame);
    // Out of output buffers: the picture waits in the decoder for the next call.
    if (ret == AVERROR(EAGAIN)) return ret;
    avctx->width = d->pending->width;
    avctx->height = d->pending->height;
    avctx->coded_width = d->inner->coded_width;
    avctx->coded_height = d->inner->coded_height;
    av_frame_unref(d->pending);
    if (ret < 0) return ret;
    long long delay;
    {
        std::lock_guard<std::mutex> g(g_dec_lock);
        delay = g_delay_us;
    }
    if (delay > 0) usleep((useconds_t)delay);
    ++g_frames;
    return 0;
}

int sim_send(SimDec *d, const AVPacket *pkt) {
    if (!d->open) return AVERROR(EINVAL);
    const bool data = pkt && (pkt->data || pkt->size > 0);
    if (data && busy_refuses(++g_send_calls)) {
        ++g_refused;
        return AVERROR(EAGAIN);
    }
    // A stalled decoder swallows what it decodes, so it keeps taking packets.
    if (stalled()) discard_output(d);
    // A decoder working beside the CPU holds a few pictures at most.
    const long long lag = d->lag_us;
    const int ret = lag > 0 && d->lagged.size() >= 4 ? AVERROR(EAGAIN)
                                                     : __real_avcodec_send_packet(d->inner, pkt);
    if (lag > 0 && ret >= 0) take_lagged(d, lag);
    if (data && ret == AVERROR(EAGAIN)) ++g_refused;
    if (data && ret >= 0) ++g_packets;
    return ret;
}

// A device the simulated board can open: any existing path, and the board's
// cards under /dev/dri (present only in simulation).
bool drm_device_known(const char *path) {
    return access(path, F_OK) == 0 || strncmp(path, "/dev/dri/", 9) == 0;
}

} // namespace

void sim_dec_stats(SimDecStats *out) {
    out->frames = g_frames.load();
    out->packets = g_packets.load();
    out->refused = g_refused.load();
    out->sends = g_send_calls.load();
    out->opens = g_opens.load();
}

// ---- Wrapped FFmpeg entry points --------------------------------------------------

const AVCodec *__wrap_avcodec_find_decoder_by_name(const char *name) {
    if (name) {
        std::call_once(g_sim_codecs_once, sim_codecs_init);
        for (int i = 0; i < kSimCodecs; i++)
            if (strcmp(name, sim_codec_names[i].name) == 0) return &g_sim_codecs[i].codec;
    }
    return __real_avcodec_find_decoder_by_name(name);
}

AVCodecContext *__wrap_avcodec_alloc_context3(const AVCodec *codec) {
    if (!codec || !is_sim_codec(codec)) return __real_avcodec_alloc_context3(codec);
    AVCodecContext *avctx = __real_avcodec_alloc_context3(nullptr);
    if (!avctx) return nullptr;
    avctx->codec_type = AVMEDIA_TYPE_VIDEO;
    avctx->codec_id = codec->id;
    if (!add_dec(avctx, codec)) __real_avcodec_free_context(&avctx);
    return avctx;
}

int __wrap_avcodec_open2(AVCodecContext *avctx, const AVCodec *codec, AVDictionary **options) {
    SimDec *d = find_dec(avctx);
    if (!d && avctx && codec && is_sim_codec(codec)) {
        // A context allocated without a codec and opened with a simulated one.
        avctx->codec_type = AVMEDIA_TYPE_VIDEO;
        avctx->codec_id = codec->id;
        d = add_dec(avctx, codec);
        if (!d) return AVERROR(ENOMEM);
    }
    if (!d && sim_is_board_encoder(codec)) return sim_encoder_open(avctx, codec, options);
    if (!d) return __real_avcodec_open2(avctx, codec, options);
    return sim_open(avctx, d, options);
}

int __wrap_avcodec_send_packet(AVCodecContext *avctx, const AVPacket *avpkt) {
    SimDec *d = find_dec(avctx);
    if (!d) return __real_avcodec_send_packet(avctx, avpkt);
    return sim_send(d, avpkt);
}

int __wrap_avcodec_receive_frame(AVCodecContext *avctx, AVFrame *frame) {
    SimDec *d = find_dec(avctx);
    if (!d) return __real_avcodec_receive_frame(avctx, frame);
    return sim_receive(avctx, d, frame);
}

void __wrap_avcodec_flush_buffers(AVCodecContext *avctx) {
    SimDec *d = find_dec(avctx);
    if (!d) {
        __real_avcodec_flush_buffers(avctx);
        return;
    }
    if (d->open) {
        __real_avcodec_flush_buffers(d->inner);
        av_frame_unref(d->pending);
        clear_lagged(d);
    }
    std::lock_guard<std::mutex> g(g_dec_lock);
    if (g_stall_state == 1 && g_stall_until_flush) g_stall_state = 2;
}

void __wrap_avcodec_free_context(AVCodecContext **pavctx) {
    if (pavctx && *pavctx) {
        if (SimDec *d = take_dec(*pavctx)) {
            sim_close(d);
            (*pavctx)->codec = nullptr;
        }
    }
    __real_avcodec_free_context(pavctx);
}

int __wrap_av_hwdevice_ctx_create(AVBufferRef **device_ctx, enum AVHWDeviceType type,
                                  const char *device, AVDictionary *opts, int flags) {
    if (type != AV_HWDEVICE_TYPE_DRM)
        return __real_av_hwdevice_ctx_create(device_ctx, type, device, opts, flags);
    if (device && !drm_device_known(device)) return AVERROR(ENOENT);
    AVBufferRef *ref = av_hwdevice_ctx_alloc(AV_HWDEVICE_TYPE_DRM);
    if (!ref) return AVERROR(ENOMEM);
    AVHWDeviceContext *dev = reinterpret_cast<AVHWDeviceContext *>(ref->data);
    static_cast<AVDRMDeviceContext *>(dev->hwctx)->fd = -1;
    const int ret = av_hwdevice_ctx_init(ref);
    if (ret < 0) {
        av_buffer_unref(&ref);
        return ret;
    }
    *device_ctx = ref;
    return 0;
}
