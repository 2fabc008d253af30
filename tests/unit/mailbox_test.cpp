#include <gtest/gtest.h>

#include <vector>

#include "core/counters.h"
#include "stream/decoder.h"
#include "stream/mailbox.h"
#include "stream/reader.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace {

void reset_mailbox() {
    mb_reset();
}

AVFrame *take() {
    bool eof = false;
    return mb_take(0, &eof);
}

AVFrame *tagged_frame(int64_t tag) {
    AVFrame *f = av_frame_alloc();
    f->pts = tag;
    return f;
}

TEST(Mailbox, FullMailboxDropsTheOldest) {
    reset_mailbox();
    int64_t drops = g_drop_fifo;
    mb_push(tagged_frame(1));
    mb_push(tagged_frame(2));
    EXPECT_EQ(g_drop_fifo, drops);
    mb_push(tagged_frame(3));
    EXPECT_EQ(g_drop_fifo, drops + 1);

    int fill = -1;
    bool eof = true;
    AVFrame *a = mb_take(0, &eof, &fill);
    EXPECT_EQ(fill, 2);
    EXPECT_FALSE(eof);
    AVFrame *b = take();
    AVFrame *c = take();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->pts, 2);
    EXPECT_EQ(b->pts, 3);
    EXPECT_EQ(c, nullptr);
    av_frame_free(&a);
    av_frame_free(&b);

    // The ring keeps its order across the wrap of the head.
    for (int64_t t = 10; t < 17; t++) mb_push(tagged_frame(t));
    a = take();
    b = take();
    EXPECT_EQ(a->pts, 15);
    EXPECT_EQ(b->pts, 16);
    EXPECT_EQ(g_drop_fifo, drops + 1 + 5);
    av_frame_free(&a);
    av_frame_free(&b);

    // End of input: an empty mailbox says so, and a wait ends at once.
    mb_set_eof();
    EXPECT_EQ(mb_take(1000, &eof, &fill), nullptr);
    EXPECT_TRUE(eof);
    EXPECT_EQ(fill, 0);
    reset_mailbox();
}

// Encodes `n` small frames with libx264 (no B-frames, one packet per frame).
std::vector<AVPacket *> encode_h264(int n) {
    std::vector<AVPacket *> out;
    const AVCodec *enc = avcodec_find_encoder_by_name("libx264");
    if (!enc) return out;
    AVCodecContext *ec = avcodec_alloc_context3(enc);
    ec->width = 64;
    ec->height = 64;
    ec->pix_fmt = AV_PIX_FMT_YUV420P;
    ec->time_base = AVRational{1, 30};
    ec->gop_size = 30;
    ec->max_b_frames = 0;
    av_opt_set(ec->priv_data, "preset", "ultrafast", 0);
    av_opt_set(ec->priv_data, "tune", "zerolatency", 0);
    if (avcodec_open2(ec, enc, nullptr) < 0) {
        avcodec_free_context(&ec);
        return out;
    }
    AVFrame *f = av_frame_alloc();
    f->format = ec->pix_fmt;
    f->width = ec->width;
    f->height = ec->height;
    av_frame_get_buffer(f, 0);
    for (int i = 0; i <= n; i++) {
        if (i < n) {
            av_frame_make_writable(f);
            for (int y = 0; y < 64; y++)
                for (int x = 0; x < 64; x++)
                    f->data[0][y * f->linesize[0] + x] = (uint8_t)(x + y + i * 8);
            for (int p = 1; p < 3; p++)
                for (int y = 0; y < 32; y++)
                    for (int x = 0; x < 32; x++) f->data[p][y * f->linesize[p] + x] = 128;
            f->pts = i;
        }
        avcodec_send_frame(ec, i < n ? f : nullptr);
        AVPacket *p = av_packet_alloc();
        while (avcodec_receive_packet(ec, p) == 0) {
            out.push_back(p);
            p = av_packet_alloc();
        }
        av_packet_free(&p);
    }
    av_frame_free(&f);
    avcodec_free_context(&ec);
    return out;
}

TEST(Drain, CountsFramesAndMarksOnlyTheLastAsKey) {
    reset_mailbox();
    std::vector<AVPacket *> pkts = encode_h264(3);
    ASSERT_EQ(pkts.size(), 3u);

    // FFmpeg's software decoder (not one the simulated board stands in for).
    const AVCodec *dec = avcodec_find_decoder_by_name("h264");
    ASSERT_NE(dec, nullptr);
    AVCodecContext *ctx = avcodec_alloc_context3(dec);
    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    ctx->thread_count = 1;
    ASSERT_EQ(avcodec_open2(ctx, dec, nullptr), 0);

    int64_t decoded = g_dec_count;
    EXPECT_EQ(drain_decoder(ctx, 1), 0); // nothing ready: nothing pushed, nothing counted
    EXPECT_EQ(take(), nullptr);
    EXPECT_EQ(g_dec_count, decoded);

    // Two packets in before draining: two frames come out of one drain.
    ASSERT_EQ(avcodec_send_packet(ctx, pkts[0]), 0);
    ASSERT_EQ(avcodec_send_packet(ctx, pkts[1]), 0);
    EXPECT_EQ(drain_decoder(ctx, 1), 2);
    EXPECT_EQ(g_dec_count, decoded + 2);
    AVFrame *first = take();
    AVFrame *second = take();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->flags & AV_FRAME_FLAG_KEY, 0);
    EXPECT_NE(second->flags & AV_FRAME_FLAG_KEY, 0);
    EXPECT_LT(first->pts, second->pts);
    av_frame_free(&first);
    av_frame_free(&second);

    // Without the key argument no frame carries the bit.
    ASSERT_EQ(avcodec_send_packet(ctx, pkts[2]), 0);
    EXPECT_EQ(drain_decoder(ctx, 0), 1);
    AVFrame *third = take();
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->flags & AV_FRAME_FLAG_KEY, 0);
    av_frame_free(&third);

    for (AVPacket *p : pkts) av_packet_free(&p);
    avcodec_free_context(&ctx);
    reset_mailbox();
}

} // namespace

TEST(Drain, PicturesOwedAcrossPacketsUntilHandedBackOrForgotten) {
    OwedPictures o;
    // Packet A sent, the drain after it empty: A's picture is owed.
    owed_sent(&o, true, 1, 0, 1000);
    EXPECT_TRUE(owed_pending(&o, 1000));
    EXPECT_EQ(o.key, 1);
    // Packet B sent, the drain after it brings A's picture: B's is still owed.
    owed_sent(&o, true, 0, 1, 2000);
    EXPECT_TRUE(owed_pending(&o, 2000));
    EXPECT_EQ(o.key, 0);
    // Handed back by a later drain; more pictures than were owed never count
    // below nothing.
    owed_received(&o, 3);
    EXPECT_FALSE(owed_pending(&o, 2000));
    // A packet without a slice owes nothing.
    owed_sent(&o, false, 0, 0, 3000);
    EXPECT_FALSE(owed_pending(&o, 3000));
    // A picture the decoder dropped is forgotten once the window has passed.
    owed_sent(&o, true, 0, 0, 4000);
    EXPECT_TRUE(owed_pending(&o, 4000 + owed_window_us - 1));
    EXPECT_FALSE(owed_pending(&o, 4000 + owed_window_us));
    EXPECT_EQ(o.count, 0);
}
