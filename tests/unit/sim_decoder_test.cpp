// The simulated board's hardware decoders, driven through the wrapped FFmpeg API
// exactly as the program drives its decoders.

#include "sim/sim_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/hwcontext_drm.h>
#include <libavutil/opt.h>
}
#include <drm_fourcc.h>

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct FrameFree {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
struct CtxFree {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using CtxPtr = std::unique_ptr<AVCodecContext, CtxFree>;
using Packets = std::vector<PacketPtr>;

// An Annex B H.264 stream of `frames` moving gradients, key frame every `gop`.
// With `headers`, the parameter sets go there instead of into the stream.
Packets encode_h264(int w, int h, int frames, int gop, AVPixelFormat fmt = AV_PIX_FMT_YUV420P,
                    std::vector<uint8_t> *headers = nullptr) {
    av_log_set_level(AV_LOG_ERROR);
    Packets out;
    const AVCodec *enc = avcodec_find_encoder_by_name("libx264");
    if (!enc) return out;
    CtxPtr c(avcodec_alloc_context3(enc));
    c->width = w;
    c->height = h;
    c->pix_fmt = fmt;
    c->time_base = AVRational{1, 30};
    c->gop_size = gop;
    c->max_b_frames = 0;
    if (headers) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "preset", "ultrafast", 0);
    av_dict_set(&opts, "tune", "zerolatency", 0);
    const int ret = avcodec_open2(c.get(), enc, &opts);
    av_dict_free(&opts);
    if (ret < 0) return out;
    if (headers) headers->assign(c->extradata, c->extradata + c->extradata_size);
    auto drain = [&] {
        for (;;) {
            PacketPtr p(av_packet_alloc());
            if (avcodec_receive_packet(c.get(), p.get()) < 0) break;
            out.push_back(std::move(p));
        }
    };
    for (int i = 0; i < frames; i++) {
        FramePtr f(av_frame_alloc());
        f->format = fmt;
        f->width = w;
        f->height = h;
        if (av_frame_get_buffer(f.get(), 0) < 0) return Packets();
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                f->data[0][y * f->linesize[0] + x] = (uint8_t)(x * 3 + y * 2 + i * 7);
        const int cw = fmt == AV_PIX_FMT_YUV420P ? w / 2 : w;
        const int ch = fmt == AV_PIX_FMT_YUV420P ? h / 2 : h;
        for (int y = 0; y < ch; y++)
            for (int x = 0; x < cw; x++) {
                f->data[1][y * f->linesize[1] + x] = (uint8_t)(x * 5 + i * 11);
                f->data[2][y * f->linesize[2] + x] = (uint8_t)(y * 3 + 128);
            }
        f->pts = i;
        avcodec_send_frame(c.get(), f.get());
        drain();
    }
    avcodec_send_frame(c.get(), nullptr);
    drain();
    return out;
}

Packets concat(Packets a, Packets b) {
    for (PacketPtr &p : b) a.push_back(std::move(p));
    return a;
}

void set_product_flags(AVCodecContext *c) {
    c->flags |= AV_CODEC_FLAG_LOW_DELAY;
    c->flags2 |= AV_CODEC_FLAG2_FAST | AV_CODEC_FLAG2_SHOW_ALL;
}

// Every frame of `pkts` from FFmpeg's own software decoder.
std::vector<FramePtr> decode_reference(const Packets &pkts) {
    std::vector<FramePtr> out;
    const AVCodec *dec = avcodec_find_decoder(AV_CODEC_ID_H264);
    CtxPtr c(avcodec_alloc_context3(dec));
    set_product_flags(c.get());
    if (avcodec_open2(c.get(), dec, nullptr) < 0) return out;
    for (const PacketPtr &p : pkts) {
        avcodec_send_packet(c.get(), p.get());
        for (;;) {
            FramePtr f(av_frame_alloc());
            if (avcodec_receive_frame(c.get(), f.get()) < 0) break;
            out.push_back(std::move(f));
        }
    }
    return out;
}

std::vector<AVPixelFormat> g_offered;
AVPixelFormat g_pick = AV_PIX_FMT_DRM_PRIME;

AVPixelFormat pick_format(AVCodecContext *, const AVPixelFormat *fmts) {
    g_offered.clear();
    for (const AVPixelFormat *f = fmts; *f != AV_PIX_FMT_NONE; f++) g_offered.push_back(*f);
    return g_pick;
}

// A decoder context set up and opened the way the program does it.
CtxPtr open_decoder(const char *name, int *err = nullptr,
                    const std::vector<uint8_t> *extradata = nullptr) {
    const AVCodec *codec = avcodec_find_decoder_by_name(name);
    if (!codec) return nullptr;
    CtxPtr c(avcodec_alloc_context3(codec));
    c->pix_fmt = AV_PIX_FMT_DRM_PRIME;
    c->get_format = pick_format;
    set_product_flags(c.get());
    if (extradata) {
        c->extradata =
            static_cast<uint8_t *>(av_mallocz(extradata->size() + AV_INPUT_BUFFER_PADDING_SIZE));
        memcpy(c->extradata, extradata->data(), extradata->size());
        c->extradata_size = (int)extradata->size();
    }
    const int ret = avcodec_open2(c.get(), codec, nullptr);
    if (err) *err = ret;
    if (ret < 0) return nullptr;
    return c;
}

FramePtr receive(AVCodecContext *c, int *err = nullptr) {
    FramePtr f(av_frame_alloc());
    const int ret = avcodec_receive_frame(c, f.get());
    if (err) *err = ret;
    if (ret < 0) return nullptr;
    return f;
}

// Checks a DRM PRIME frame against the software decoder's picture, reading the
// pixels through its dma-buf as a display would.
void expect_same_picture(const AVFrame *f, const AVFrame *ref) {
    ASSERT_EQ(f->format, AV_PIX_FMT_DRM_PRIME);
    ASSERT_EQ(f->width, ref->width);
    ASSERT_EQ(f->height, ref->height);
    EXPECT_EQ(f->pts, ref->pts);
    EXPECT_EQ(f->flags & 2, 0);
    const auto *d = reinterpret_cast<const AVDRMFrameDescriptor *>(f->data[0]);
    ASSERT_EQ(d->nb_objects, 1);
    ASSERT_EQ(d->nb_layers, 1);
    EXPECT_EQ(d->layers[0].format, (uint32_t)DRM_FORMAT_NV12);
    ASSERT_EQ(d->layers[0].nb_planes, 2);
    EXPECT_EQ(d->objects[0].format_modifier, (uint64_t)DRM_FORMAT_MOD_LINEAR);
    const int w = f->width, h = f->height;
    const int pitch = (int)d->layers[0].planes[0].pitch;
    const int rows = (h + 15) / 16 * 16;
    EXPECT_EQ(pitch, (w + 63) / 64 * 64);
    EXPECT_EQ((int)d->layers[0].planes[1].pitch, pitch);
    EXPECT_EQ(d->layers[0].planes[0].offset, 0);
    EXPECT_EQ(d->layers[0].planes[1].offset, (ptrdiff_t)pitch * rows);
    struct stat st;
    ASSERT_EQ(fstat(d->objects[0].fd, &st), 0);
    EXPECT_EQ((size_t)st.st_size, d->objects[0].size);
    ASSERT_GE(d->objects[0].size, (size_t)pitch * rows * 3 / 2);

    void *m = mmap(nullptr, d->objects[0].size, PROT_READ, MAP_SHARED, d->objects[0].fd, 0);
    ASSERT_NE(m, MAP_FAILED);
    const uint8_t *y = static_cast<const uint8_t *>(m);
    const uint8_t *uv = y + d->layers[0].planes[1].offset;
    int luma_bad = 0, chroma_bad = 0, pad_bad = 0;
    for (int r = 0; r < h; r++)
        luma_bad += memcmp(y + r * pitch, ref->data[0] + r * ref->linesize[0], w) != 0;
    for (int r = 0; r < h / 2; r++)
        for (int c = 0; c < w / 2; c++) {
            chroma_bad += uv[r * pitch + 2 * c] != ref->data[1][r * ref->linesize[1] + c];
            chroma_bad += uv[r * pitch + 2 * c + 1] != ref->data[2][r * ref->linesize[2] + c];
        }
    for (int c = 0; c < pitch; c++) {
        pad_bad += y[(rows - 1) * pitch + c] != (rows > h ? 16 : y[(rows - 1) * pitch + c]);
        pad_bad +=
            uv[(rows / 2 - 1) * pitch + c] != (rows > h ? 128 : uv[(rows / 2 - 1) * pitch + c]);
    }
    munmap(m, d->objects[0].size);
    EXPECT_EQ(luma_bad, 0);
    EXPECT_EQ(chroma_bad, 0);
    EXPECT_EQ(pad_bad, 0);
}

SimDecStats stats() {
    SimDecStats s;
    sim_dec_stats(&s);
    return s;
}

TEST(SimDecoder, NamesPassThroughAndDrmDevice) {
    const struct {
        const char *name;
        AVCodecID id;
    } sims[] = {{"h264_v4l2m2m", AV_CODEC_ID_H264},
                {"h264_rkmpp", AV_CODEC_ID_H264},
                {"hevc_rkmpp", AV_CODEC_ID_HEVC},
                {"hevc", AV_CODEC_ID_HEVC}};
    for (const auto &s : sims) {
        const AVCodec *c = avcodec_find_decoder_by_name(s.name);
        ASSERT_NE(c, nullptr) << s.name;
        EXPECT_STREQ(c->name, s.name);
        EXPECT_EQ(c->type, AVMEDIA_TYPE_VIDEO);
        EXPECT_EQ(c->id, s.id);
        EXPECT_NE(strstr(c->long_name, "simulated"), nullptr);
        EXPECT_NE(c, avcodec_find_decoder(s.id));
    }
    EXPECT_EQ(avcodec_find_decoder_by_name("h264"), avcodec_find_decoder(AV_CODEC_ID_H264));
    EXPECT_EQ(avcodec_find_decoder_by_name("no_such_decoder"), nullptr);

    AVBufferRef *dev = nullptr;
    ASSERT_EQ(av_hwdevice_ctx_create(&dev, AV_HWDEVICE_TYPE_DRM, nullptr, nullptr, 0), 0);
    EXPECT_EQ(reinterpret_cast<AVHWDeviceContext *>(dev->data)->type, AV_HWDEVICE_TYPE_DRM);
    av_buffer_unref(&dev);
    ASSERT_EQ(av_hwdevice_ctx_create(&dev, AV_HWDEVICE_TYPE_DRM, "/dev/dri/card1", nullptr, 0), 0);
    av_buffer_unref(&dev);
    EXPECT_EQ(av_hwdevice_ctx_create(&dev, AV_HWDEVICE_TYPE_DRM, "/nonexistent/card0", nullptr, 0),
              AVERROR(ENOENT));
    EXPECT_EQ(dev, nullptr);

    // A simulated "hevc" context carrying the DRM device opens and frees cleanly.
    const AVCodec *hevc = avcodec_find_decoder_by_name("hevc");
    CtxPtr c(avcodec_alloc_context3(hevc));
    ASSERT_EQ(av_hwdevice_ctx_create(&dev, AV_HWDEVICE_TYPE_DRM, nullptr, nullptr, 0), 0);
    c->hw_device_ctx = dev;
    c->get_format = pick_format;
    ASSERT_EQ(avcodec_open2(c.get(), hevc, nullptr), 0);
    EXPECT_EQ(c->codec_id, AV_CODEC_ID_HEVC);
}

TEST(SimDecoder, DrmPrimeFramesMatchSoftwareDecoder) {
    // 200x120 needs both a wider pitch (256) and padding rows (128); the 1080p
    // part follows in the same context, so one buffer must grow.
    Packets small = encode_h264(200, 120, 6, 3);
    Packets big = encode_h264(1920, 1080, 1, 1);
    ASSERT_EQ(small.size(), 6u);
    ASSERT_EQ(big.size(), 1u);
    Packets all = concat(std::move(small), std::move(big));
    std::vector<FramePtr> ref = decode_reference(all);
    ASSERT_EQ(ref.size(), 7u);

    setenv("VEX_SIM_DEC_BUFFERS", "1", 1);
    setenv("VEX_SIM_DEC_DELAY_US", "1", 1);
    g_pick = AV_PIX_FMT_DRM_PRIME;
    CtxPtr c = open_decoder("h264_v4l2m2m");
    unsetenv("VEX_SIM_DEC_BUFFERS");
    unsetenv("VEX_SIM_DEC_DELAY_US");
    ASSERT_TRUE(c);
    ASSERT_EQ(g_offered, (std::vector<AVPixelFormat>{AV_PIX_FMT_DRM_PRIME, AV_PIX_FMT_NV12}));
    EXPECT_EQ(c->pix_fmt, AV_PIX_FMT_DRM_PRIME);

    size_t n = 0;
    for (const PacketPtr &p : all) {
        ASSERT_EQ(avcodec_send_packet(c.get(), p.get()), 0);
        while (FramePtr f = receive(c.get())) {
            ASSERT_LT(n, ref.size());
            expect_same_picture(f.get(), ref[n].get());
            if (n == 0) {
                const auto *d = reinterpret_cast<const AVDRMFrameDescriptor *>(f->data[0]);
                EXPECT_EQ(d->layers[0].planes[0].pitch, 256);
                EXPECT_EQ(d->layers[0].planes[1].offset, 256 * 128);
            }
            if (n == 6) {
                const auto *d = reinterpret_cast<const AVDRMFrameDescriptor *>(f->data[0]);
                EXPECT_EQ(d->layers[0].planes[0].pitch, 1920);
                EXPECT_EQ(d->layers[0].planes[1].offset, 1920 * 1088);
                EXPECT_EQ(c->width, 1920);
                EXPECT_EQ(c->height, 1080);
            }
            n++;
        }
    }
    EXPECT_EQ(n, ref.size());

    // A decoder whose format choice is NV12 hands back ordinary NV12 frames.
    g_pick = AV_PIX_FMT_NV12;
    CtxPtr sw = open_decoder("h264_rkmpp");
    g_pick = AV_PIX_FMT_DRM_PRIME;
    ASSERT_TRUE(sw);
    ASSERT_EQ(avcodec_send_packet(sw.get(), all[0].get()), 0);
    FramePtr f = receive(sw.get());
    ASSERT_TRUE(f);
    ASSERT_EQ(f->format, AV_PIX_FMT_NV12);
    for (int r = 0; r < 120; r++)
        ASSERT_EQ(
            memcmp(f->data[0] + r * f->linesize[0], ref[0]->data[0] + r * ref[0]->linesize[0], 200),
            0);
    EXPECT_EQ(f->data[1][1], ref[0]->data[2][0]);

    // Pictures in other formats are converted to NV12 (4:4:4 here).
    Packets full = encode_h264(64, 48, 1, 1, AV_PIX_FMT_YUV444P);
    ASSERT_EQ(full.size(), 1u);
    std::vector<FramePtr> full_ref = decode_reference(full);
    ASSERT_EQ(full_ref.size(), 1u);
    ASSERT_EQ(full_ref[0]->format, AV_PIX_FMT_YUV444P);
    CtxPtr c444 = open_decoder("h264_v4l2m2m");
    ASSERT_TRUE(c444);
    ASSERT_EQ(avcodec_send_packet(c444.get(), full[0].get()), 0);
    f = receive(c444.get());
    ASSERT_TRUE(f);
    ASSERT_EQ(f->format, AV_PIX_FMT_DRM_PRIME);
    const auto *d = reinterpret_cast<const AVDRMFrameDescriptor *>(f->data[0]);
    void *m = mmap(nullptr, d->objects[0].size, PROT_READ, MAP_SHARED, d->objects[0].fd, 0);
    ASSERT_NE(m, MAP_FAILED);
    int off = 0;
    for (int r = 0; r < 48; r++)
        for (int x = 0; x < 64; x++)
            off += abs(static_cast<const uint8_t *>(m)[r * 64 + x] -
                       full_ref[0]->data[0][r * full_ref[0]->linesize[0] + x]) > 1;
    munmap(m, d->objects[0].size);
    EXPECT_EQ(off, 0);

    // Parameter sets given as extradata reach the decoder (a re-open's case).
    std::vector<uint8_t> headers;
    Packets bare = encode_h264(64, 48, 2, 1, AV_PIX_FMT_YUV420P, &headers);
    ASSERT_EQ(bare.size(), 2u);
    ASSERT_FALSE(headers.empty());
    const std::vector<uint8_t> *with_and_without[] = {&headers, nullptr};
    for (const std::vector<uint8_t> *extra : with_and_without) {
        CtxPtr cx = open_decoder("h264_rkmpp", nullptr, extra);
        ASSERT_TRUE(cx);
        int frames = 0;
        for (const PacketPtr &p : bare) {
            avcodec_send_packet(cx.get(), p.get());
            while (receive(cx.get())) frames++;
        }
        EXPECT_EQ(frames, extra ? 2 : 0);
    }
}

TEST(SimDecoder, OutputPoolStallsUntilFramesAreFreed) {
    Packets pkts = encode_h264(160, 90, 6, 3);
    ASSERT_EQ(pkts.size(), 6u);
    setenv("VEX_SIM_DEC_BUFFERS", "2", 1);
    CtxPtr c = open_decoder("h264_rkmpp");
    unsetenv("VEX_SIM_DEC_BUFFERS");
    ASSERT_TRUE(c);

    ASSERT_EQ(avcodec_send_packet(c.get(), pkts[0].get()), 0);
    FramePtr a = receive(c.get());
    ASSERT_EQ(avcodec_send_packet(c.get(), pkts[1].get()), 0);
    FramePtr b = receive(c.get());
    ASSERT_TRUE(a && b);
    ASSERT_EQ(avcodec_send_packet(c.get(), pkts[2].get()), 0);
    int err = 0;
    EXPECT_FALSE(receive(c.get(), &err));
    EXPECT_EQ(err, AVERROR(EAGAIN));
    EXPECT_FALSE(receive(c.get(), &err));
    // The decoder takes a little more input, then refuses it as a full hardware queue does.
    EXPECT_EQ(avcodec_send_packet(c.get(), pkts[3].get()), 0);
    EXPECT_EQ(avcodec_send_packet(c.get(), pkts[4].get()), 0);
    EXPECT_EQ(avcodec_send_packet(c.get(), pkts[5].get()), AVERROR(EAGAIN));

    // A reference keeps the buffer busy; the last free, on another thread, releases it.
    FramePtr a2(av_frame_clone(a.get()));
    a.reset();
    EXPECT_FALSE(receive(c.get(), &err));
    std::thread([f = a2.release()]() mutable { av_frame_free(&f); }).join();
    FramePtr third = receive(c.get());
    ASSERT_TRUE(third);
    EXPECT_EQ(third->pts, 2);

    // Frames outlive the decoder that made them.
    c.reset();
    const auto *d = reinterpret_cast<const AVDRMFrameDescriptor *>(third->data[0]);
    void *m = mmap(nullptr, d->objects[0].size, PROT_READ, MAP_SHARED, d->objects[0].fd, 0);
    ASSERT_NE(m, MAP_FAILED);
    munmap(m, d->objects[0].size);
    b.reset();
    third.reset();
}

TEST(SimDecoder, FaultKnobs) {
    Packets pkts = encode_h264(160, 90, 6, 3);
    ASSERT_EQ(pkts.size(), 6u);
    int err = 0;

    // Open failures by number, counted across the process.
    SimDecStats s = stats();
    const std::string fails = std::to_string(s.opens + 1) + "," + std::to_string(s.opens + 3);
    setenv("VEX_SIM_DEC_OPEN_FAIL", fails.c_str(), 1);
    EXPECT_FALSE(open_decoder("h264_v4l2m2m", &err));
    EXPECT_EQ(err, AVERROR(EIO));
    EXPECT_TRUE(open_decoder("h264_v4l2m2m"));
    EXPECT_FALSE(open_decoder("hevc_rkmpp", &err));
    EXPECT_EQ(err, AVERROR(EIO));
    EXPECT_TRUE(open_decoder("hevc_rkmpp"));
    unsetenv("VEX_SIM_DEC_OPEN_FAIL");

    // Busy: the second and third send attempts from now are refused, not consumed.
    s = stats();
    const std::string busy = std::to_string(s.sends + 2) + ":2";
    setenv("VEX_SIM_DEC_BUSY", busy.c_str(), 1);
    CtxPtr c = open_decoder("h264_v4l2m2m");
    unsetenv("VEX_SIM_DEC_BUSY");
    ASSERT_TRUE(c);
    EXPECT_EQ(avcodec_send_packet(c.get(), pkts[0].get()), 0);
    EXPECT_TRUE(receive(c.get()));
    EXPECT_EQ(avcodec_send_packet(c.get(), pkts[1].get()), AVERROR(EAGAIN));
    EXPECT_EQ(avcodec_send_packet(c.get(), pkts[1].get()), AVERROR(EAGAIN));
    EXPECT_EQ(avcodec_send_packet(c.get(), pkts[1].get()), 0);
    FramePtr f = receive(c.get());
    ASSERT_TRUE(f);
    EXPECT_EQ(f->pts, 1);
    EXPECT_EQ(stats().refused - s.refused, 2);
    EXPECT_EQ(stats().packets - s.packets, 2);
    f.reset();
    c.reset();

    // Stall after two more frames, ended by a flush.
    s = stats();
    setenv("VEX_SIM_DEC_STALL_AFTER", std::to_string(s.frames + 2).c_str(), 1);
    setenv("VEX_SIM_DEC_STALL_UNTIL_FLUSH", "1", 1);
    c = open_decoder("h264_v4l2m2m");
    ASSERT_TRUE(c);
    int frames = 0;
    for (const PacketPtr &p : pkts) {
        EXPECT_EQ(avcodec_send_packet(c.get(), p.get()), 0);
        while (receive(c.get(), &err)) frames++;
        EXPECT_EQ(err, AVERROR(EAGAIN));
    }
    EXPECT_EQ(frames, 2);
    avcodec_flush_buffers(c.get());
    frames = 0;
    for (const PacketPtr &p : pkts) {
        EXPECT_EQ(avcodec_send_packet(c.get(), p.get()), 0);
        while (receive(c.get())) frames++;
    }
    EXPECT_EQ(frames, 6);

    // Stall for good: a flush does not help.
    unsetenv("VEX_SIM_DEC_STALL_UNTIL_FLUSH");
    setenv("VEX_SIM_DEC_STALL_AFTER", std::to_string(stats().frames + 1).c_str(), 1);
    c = open_decoder("h264_v4l2m2m");
    unsetenv("VEX_SIM_DEC_STALL_AFTER");
    ASSERT_TRUE(c);
    frames = 0;
    for (int round = 0; round < 2; round++) {
        for (const PacketPtr &p : pkts) {
            EXPECT_EQ(avcodec_send_packet(c.get(), p.get()), 0);
            while (receive(c.get())) frames++;
        }
        avcodec_flush_buffers(c.get());
    }
    EXPECT_EQ(frames, 1);
}

TEST(SimDecoder, ReportsTotalsAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Everything is freed before exit, so a leak checker stays quiet.
    auto decode_two = [] {
        Packets pkts = encode_h264(64, 48, 2, 1);
        CtxPtr c = open_decoder("h264_v4l2m2m");
        for (const PacketPtr &p : pkts) {
            avcodec_send_packet(c.get(), p.get());
            while (receive(c.get())) {}
        }
    };
    EXPECT_EXIT(
        {
            decode_two();
            exit(0);
        },
        ::testing::ExitedWithCode(0),
        "vex-sim: decoder produced 2 frames \\(2 packets sent, 0 refused\\)");
}

} // namespace
