// The simulated board's hardware decoders, driven through the wrapped FFmpeg API as the program
// does.
#include "stream/decoder.h"
#include "sim/sim_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/hwcontext_drm.h>
}
#include <drm_fourcc.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

struct Free {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
    void operator()(AVPacket *p) const { av_packet_free(&p); }
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
using FramePtr = std::unique_ptr<AVFrame, Free>;
using PacketPtr = std::unique_ptr<AVPacket, Free>;
using CtxPtr = std::unique_ptr<AVCodecContext, Free>;
using Packets = std::vector<PacketPtr>;

// Sample (x, y) of plane 0 (Y), 1 (Cb) or 2 (Cr) of picture i of the test streams.
static uint8_t sample(int plane, int x, int y, int i) {
    return uint8_t(plane == 0 ? x * 3 + y * 2 + i * 7 : plane == 1 ? x * 5 + i * 11 : y * 3 + 128);
}

// A lossless Annex B H.264 stream of `frames` 4:2:0 pictures, a key frame every `gop`.
static Packets encode_h264(int w, int h, int frames, int gop) {
    av_log_set_level(AV_LOG_ERROR);
    Packets out;
    const AVCodec *enc = avcodec_find_encoder_by_name("libx264");
    CtxPtr c(avcodec_alloc_context3(enc));
    c->width = w, c->height = h, c->pix_fmt = AV_PIX_FMT_YUV420P, c->time_base = {1, 30};
    c->gop_size = gop, c->max_b_frames = 0;
    AVDictionary *opts = nullptr;
    av_dict_parse_string(&opts, "preset=ultrafast:tune=zerolatency:qp=0", "=", ":", 0);
    const int ret = avcodec_open2(c.get(), enc, &opts);
    av_dict_free(&opts);
    if (ret < 0) return out;
    for (int i = 0; i <= frames; i++) { // the last round flushes
        FramePtr f(av_frame_alloc());
        f->format = AV_PIX_FMT_YUV420P, f->width = w, f->height = h, f->pts = i;
        if (i < frames && av_frame_get_buffer(f.get(), 0) < 0) return Packets();
        for (int y = 0; y < h && i < frames; y++)
            for (int x = 0; x < w; x++)
                for (int p = 0, s = 1; p < 3; p++, s = 2)
                    f->data[p][y / s * f->linesize[p] + x / s] = sample(p, x / s, y / s, i);
        avcodec_send_frame(c.get(), i < frames ? f.get() : nullptr);
        for (PacketPtr p(av_packet_alloc()); avcodec_receive_packet(c.get(), p.get()) == 0;
             p.reset(av_packet_alloc()))
            out.push_back(std::move(p));
    }
    return out;
}

// A decoder context opened as the program opens it, with `buffers` output buffers.
static CtxPtr open_decoder(const char *name, const char *buffers) {
    const AVCodec *codec = avcodec_find_decoder_by_name(name);
    CtxPtr c(new_decoder_ctx(codec, name));
    setenv("VEX_SIM_DEC_BUFFERS", buffers, 1);
    const int ret = avcodec_open2(c.get(), codec, nullptr);
    unsetenv("VEX_SIM_DEC_BUFFERS");
    return ret < 0 ? nullptr : std::move(c);
}

static FramePtr receive(AVCodecContext *c) {
    FramePtr f(av_frame_alloc());
    return avcodec_receive_frame(c, f.get()) < 0 ? nullptr : std::move(f);
}

// A frame as the board's decoders hand it out: one linear NV12 dma-buf, pitch aligned
// to 64, rows padded to 16, chroma after the padded luma, black outside the picture, no
// key-frame bit (the program sets that); showing picture `i` when read as the display does.
static void expect_picture(const AVFrame *f, int w, int h, int i) {
    ASSERT_TRUE(f->format == AV_PIX_FMT_DRM_PRIME && f->width == w && f->height == h)
        << f->format << " " << f->width << "x" << f->height;
    EXPECT_EQ(f->pts, i);
    EXPECT_EQ(f->flags & AV_FRAME_FLAG_KEY, 0);
    const auto *d = reinterpret_cast<const AVDRMFrameDescriptor *>(f->data[0]);
    const AVDRMPlaneDescriptor *p = d->layers[0].planes;
    ASSERT_TRUE(d->nb_objects == 1 && d->nb_layers == 1 && d->layers[0].nb_planes == 2);
    EXPECT_EQ(d->layers[0].format, (uint32_t)DRM_FORMAT_NV12);
    EXPECT_EQ(d->objects[0].format_modifier, (uint64_t)DRM_FORMAT_MOD_LINEAR);
    const int pitch = (w + 63) / 64 * 64, rows = (h + 15) / 16 * 16;
    EXPECT_TRUE(p[0].pitch == pitch && p[1].pitch == pitch && p[0].offset == 0 &&
                p[1].offset == (ptrdiff_t)pitch * rows);
    struct stat st;
    ASSERT_EQ(fstat(d->objects[0].fd, &st), 0);
    EXPECT_EQ((size_t)st.st_size, d->objects[0].size);
    ASSERT_GE(d->objects[0].size, (size_t)pitch * rows * 3 / 2);
    void *m = mmap(nullptr, d->objects[0].size, PROT_READ, MAP_SHARED, d->objects[0].fd, 0);
    ASSERT_NE(m, MAP_FAILED);
    const uint8_t *y = static_cast<const uint8_t *>(m), *uv = y + p[1].offset;
    int bad = 0;
    for (int r = 0; r < rows; r++)
        for (int c = 0; c < pitch; c++) {
            bad += y[r * pitch + c] != (r < h && c < w ? sample(0, c, r, i) : 16);
            if (r < rows / 2)
                bad += uv[r * pitch + c] !=
                       (r < h / 2 && c < w ? sample(1 + c % 2, c / 2, r, i) : 128);
        }
    munmap(m, d->objects[0].size);
    EXPECT_EQ(bad, 0);
}

TEST(SimDecoder, FramesLaidOutAsTheBoardDoes) {
    // 200x120 needs both a wider pitch (256) and padding rows (128); the 1080p
    // picture follows in the same context, so its one buffer must grow.
    Packets all = encode_h264(200, 120, 3, 3), big = encode_h264(1920, 1080, 1, 1);
    ASSERT_TRUE(all.size() == 3 && big.size() == 1);
    all.push_back(std::move(big[0]));
    CtxPtr c = open_decoder("h264_v4l2m2m", "1");
    ASSERT_TRUE(c);
    int n = 0;
    for (const PacketPtr &p : all) {
        ASSERT_EQ(avcodec_send_packet(c.get(), p.get()), 0);
        for (FramePtr f; (f = receive(c.get())); n++)
            n < 3 ? expect_picture(f.get(), 200, 120, n) : expect_picture(f.get(), 1920, 1080, 0);
    }
    EXPECT_EQ(n, 4);
    EXPECT_TRUE(c->width == 1920 && c->height == 1080);

    AVBufferRef *dev = nullptr; // a DRM device on a card that is not there
    EXPECT_EQ(av_hwdevice_ctx_create(&dev, AV_HWDEVICE_TYPE_DRM, "/nonexistent/card0", nullptr, 0),
              AVERROR(ENOENT));
    EXPECT_EQ(dev, nullptr);
}

TEST(SimDecoder, OutOfRangeColourFieldsAreNotPassedOn) {
    // A corrupted SPS leaves an unbounded chroma sample location in the
    // software decoder's frame; the board reports only defined values.
    FramePtr src(av_frame_alloc()), dst(av_frame_alloc());
    const int bad[] = {12345, -3};
    for (int v : bad) {
        memcpy(&src->chroma_location, &v, sizeof v);
        memcpy(&src->colorspace, &v, sizeof v);
        sim_copy_frame_fields(dst.get(), src.get());
        EXPECT_EQ(dst->chroma_location, AVCHROMA_LOC_UNSPECIFIED);
        EXPECT_EQ(dst->colorspace, AVCOL_SPC_UNSPECIFIED);
    }
    src->chroma_location = AVCHROMA_LOC_TOPLEFT;
    src->colorspace = AVCOL_SPC_BT709;
    sim_copy_frame_fields(dst.get(), src.get());
    EXPECT_EQ(dst->chroma_location, AVCHROMA_LOC_TOPLEFT);
    EXPECT_EQ(dst->colorspace, AVCOL_SPC_BT709);
}

TEST(SimDecoder, OutputPoolStallsUntilFramesAreFreed) {
    Packets pkts = encode_h264(160, 90, 6, 3);
    ASSERT_EQ(pkts.size(), 6u);
    CtxPtr c = open_decoder("h264_rkmpp", "2");
    ASSERT_TRUE(c);
    FramePtr a, b;
    ASSERT_EQ(avcodec_send_packet(c.get(), pkts[0].get()), 0);
    ASSERT_TRUE(a = receive(c.get()));
    ASSERT_EQ(avcodec_send_packet(c.get(), pkts[1].get()), 0);
    ASSERT_TRUE(b = receive(c.get()));
    // Both buffers held: no frame; the decoder takes a little more input, then refuses
    // it as a full hardware queue does.
    ASSERT_EQ(avcodec_send_packet(c.get(), pkts[2].get()), 0);
    EXPECT_EQ(avcodec_receive_frame(c.get(), FramePtr(av_frame_alloc()).get()), AVERROR(EAGAIN));
    for (int k = 3; k < 6; k++)
        EXPECT_EQ(avcodec_send_packet(c.get(), pkts[k].get()), k < 5 ? 0 : AVERROR(EAGAIN)) << k;

    // A reference keeps the buffer busy; the last free, on another thread, releases it.
    FramePtr a2(av_frame_clone(a.get()));
    a.reset();
    EXPECT_FALSE(receive(c.get()));
    std::thread([f = a2.release()]() mutable { av_frame_free(&f); }).join();
    FramePtr third = receive(c.get());
    ASSERT_TRUE(third);
    c.reset(); // frames outlive the decoder that made them
    expect_picture(third.get(), 160, 90, 2);
}
