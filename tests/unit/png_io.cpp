#include "tests/unit/png_io.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

namespace {

bool read_file(const std::string &path, std::vector<uint8_t> *data) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return false;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) data->insert(data->end(), buf, buf + n);
    fclose(f);
    return !data->empty();
}

std::string stem(const std::string &name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

} // namespace

TestImage image_from_canvas(const uint8_t *px, uint32_t pitch, int x, int y, int w, int h) {
    TestImage img;
    img.w = w;
    img.h = h;
    img.px.resize((size_t)w * h);
    for (int j = 0; j < h; j++)
        memcpy(&img.px[(size_t)j * w], px + (size_t)(y + j) * pitch + (size_t)x * 4, (size_t)w * 4);
    return img;
}

bool png_write(const std::string &path, const TestImage &img) {
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec || img.w < 1 || img.h < 1) return false;
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    AVFrame *frame = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    bool ok = false;
    if (ctx && frame && pkt) {
        ctx->width = img.w;
        ctx->height = img.h;
        ctx->pix_fmt = AV_PIX_FMT_RGBA;
        ctx->time_base = {1, 1};
        frame->width = img.w;
        frame->height = img.h;
        frame->format = AV_PIX_FMT_RGBA;
        if (avcodec_open2(ctx, codec, nullptr) == 0 && av_frame_get_buffer(frame, 0) == 0) {
            for (int y = 0; y < img.h; y++) {
                uint8_t *row = frame->data[0] + (size_t)y * frame->linesize[0];
                for (int x = 0; x < img.w; x++) {
                    const uint32_t p = img.at(x, y);
                    row[x * 4 + 0] = (uint8_t)(p >> 16);
                    row[x * 4 + 1] = (uint8_t)(p >> 8);
                    row[x * 4 + 2] = (uint8_t)p;
                    row[x * 4 + 3] = (uint8_t)(p >> 24);
                }
            }
            if (avcodec_send_frame(ctx, frame) == 0 && avcodec_send_frame(ctx, nullptr) == 0 &&
                avcodec_receive_packet(ctx, pkt) == 0) {
                FILE *f = fopen(path.c_str(), "wb");
                if (f) {
                    ok = fwrite(pkt->data, 1, pkt->size, f) == (size_t)pkt->size;
                    ok = (fclose(f) == 0) && ok;
                }
            }
        }
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return ok;
}

bool png_read(const std::string &path, TestImage *img) {
    std::vector<uint8_t> data;
    if (!read_file(path, &data)) return false;
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    if (!codec) return false;
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    AVFrame *frame = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    bool ok = false;
    if (ctx && frame && pkt && avcodec_open2(ctx, codec, nullptr) == 0 &&
        av_new_packet(pkt, (int)data.size()) == 0) {
        memcpy(pkt->data, data.data(), data.size());
        if (avcodec_send_packet(ctx, pkt) == 0 && avcodec_receive_frame(ctx, frame) == 0) {
            SwsContext *sws = sws_getContext(
                frame->width, frame->height, (AVPixelFormat)frame->format, frame->width,
                frame->height, AV_PIX_FMT_BGRA, SWS_POINT, nullptr, nullptr, nullptr);
            if (sws) {
                img->w = frame->width;
                img->h = frame->height;
                img->px.assign((size_t)img->w * img->h, 0);
                uint8_t *dst[4] = {(uint8_t *)img->px.data(), nullptr, nullptr, nullptr};
                int dst_stride[4] = {img->w * 4, 0, 0, 0};
                ok = sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst,
                               dst_stride) == frame->height;
                sws_freeContext(sws);
            }
        }
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return ok;
}

std::string ref_path(const std::string &name) {
    std::string dir = __FILE__; // .../tests/unit/png_io.cpp
    dir.erase(dir.rfind('/'));
    dir.erase(dir.rfind('/') + 1);
    return dir + "ref/" + name;
}

std::string test_output_path(const std::string &name) {
    const char *dir = getenv("TEST_OUTPUT_DIR");
    if (dir && *dir) return std::string(dir) + "/" + name;
    return name;
}

bool match_ref(const TestImage &img, const std::string &name, std::string *why) {
    const char *update = getenv("VEX_UPDATE_REFS");
    if (update && update[0] == '1') {
        if (png_write(ref_path(name), img)) return true;
        *why = "cannot write " + ref_path(name);
        return false;
    }
    TestImage ref;
    if (!png_read(ref_path(name), &ref)) {
        *why = "cannot read " + ref_path(name);
        return false;
    }
    const std::string actual_path = test_output_path(stem(name) + ".actual.png");
    if (ref.w != img.w || ref.h != img.h) {
        png_write(actual_path, img);
        *why = "size " + std::to_string(img.w) + "x" + std::to_string(img.h) + " differs from " +
               std::to_string(ref.w) + "x" + std::to_string(ref.h) + "; wrote " + actual_path;
        return false;
    }
    TestImage diff = ref;
    size_t bad = 0;
    for (size_t i = 0; i < img.px.size(); i++) {
        if (img.px[i] == ref.px[i]) {
            const uint32_t p = ref.px[i];
            diff.px[i] = 0xff000000 | ((p >> 2) & 0x003f3f3f);
        } else {
            diff.px[i] = 0xffff0000;
            bad++;
        }
    }
    if (bad == 0) return true;
    const std::string diff_path = test_output_path(stem(name) + ".diff.png");
    png_write(actual_path, img);
    png_write(diff_path, diff);
    *why = std::to_string(bad) + " pixels differ; wrote " + actual_path + " and " + diff_path;
    return false;
}
