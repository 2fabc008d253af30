#include "tests/unit/png_io.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

namespace {

// A codec context with a frame and a packet, all freed together.
struct Codec {
    AVCodecContext *ctx;
    AVFrame *frame = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    explicit Codec(const AVCodec *c) : ctx(c ? avcodec_alloc_context3(c) : nullptr) {}
    ~Codec() { av_packet_free(&pkt), av_frame_free(&frame), avcodec_free_context(&ctx); }
    bool ok() const { return ctx && frame && pkt; }
};

// Converts w x h pixels from one layout to another.
bool convert(const uint8_t *const src[], const int src_stride[], AVPixelFormat from,
             uint8_t *const dst[], const int dst_stride[], AVPixelFormat to, int w, int h) {
    SwsContext *sws = sws_getContext(w, h, from, w, h, to, SWS_POINT, nullptr, nullptr, nullptr);
    const bool ok = sws && sws_scale(sws, src, src_stride, 0, h, dst, dst_stride) == h;
    sws_freeContext(sws);
    return ok;
}

} // namespace

TestImage image_from_canvas(const uint8_t *px, uint32_t pitch, int x, int y, int w, int h) {
    TestImage img{w, h, std::vector<uint32_t>((size_t)w * h)};
    for (int j = 0; j < h; j++)
        memcpy(&img.px[(size_t)j * w], px + (size_t)(y + j) * pitch + (size_t)x * 4, (size_t)w * 4);
    return img;
}

bool png_write(const std::string &path, const TestImage &img) {
    Codec c(avcodec_find_encoder(AV_CODEC_ID_PNG));
    if (!c.ok() || img.w < 1 || img.h < 1) return false;
    c.ctx->width = c.frame->width = img.w, c.ctx->height = c.frame->height = img.h;
    c.ctx->pix_fmt = AV_PIX_FMT_RGBA, c.frame->format = AV_PIX_FMT_RGBA, c.ctx->time_base = {1, 1};
    const uint8_t *src[4] = {(const uint8_t *)img.px.data()}; // 0xAARRGGBB words
    const int stride[4] = {img.w * 4};
    if (avcodec_open2(c.ctx, nullptr, nullptr) != 0 || av_frame_get_buffer(c.frame, 0) != 0 ||
        !convert(src, stride, AV_PIX_FMT_BGRA, c.frame->data, c.frame->linesize, AV_PIX_FMT_RGBA,
                 img.w, img.h) ||
        avcodec_send_frame(c.ctx, c.frame) != 0 || avcodec_send_frame(c.ctx, nullptr) != 0 ||
        avcodec_receive_packet(c.ctx, c.pkt) != 0)
        return false;
    std::ofstream out(path, std::ios::binary);
    return out.write((const char *)c.pkt->data, c.pkt->size).flush().good();
}

bool png_read(const std::string &path, TestImage *img) {
    std::ifstream in(path, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Codec c(avcodec_find_decoder(AV_CODEC_ID_PNG));
    if (data.empty() || !c.ok() || avcodec_open2(c.ctx, nullptr, nullptr) != 0) return false;
    c.pkt->data = (uint8_t *)&data[0], c.pkt->size = (int)data.size(); // copied when sent
    if (avcodec_send_packet(c.ctx, c.pkt) != 0 || avcodec_receive_frame(c.ctx, c.frame) != 0)
        return false;
    const AVFrame *f = c.frame;
    *img = TestImage{f->width, f->height, std::vector<uint32_t>((size_t)f->width * f->height)};
    uint8_t *dst[4] = {(uint8_t *)img->px.data()};
    const int stride[4] = {img->w * 4};
    return convert(f->data, f->linesize, (AVPixelFormat)f->format, dst, stride, AV_PIX_FMT_BGRA,
                   f->width, f->height);
}

std::string ref_path(const std::string &name) {
    const std::string file = __FILE__; // .../tests/unit/png_io.cpp
    return file.substr(0, file.rfind("unit/png_io.cpp")) + "ref/" + name;
}

std::string test_output_path(const std::string &name) {
    const char *dir = getenv("TEST_OUTPUT_DIR");
    return dir && *dir ? std::string(dir) + "/" + name : name;
}

bool match_ref(const TestImage &img, const std::string &name, std::string *why) {
    if (const char *update = getenv("VEX_UPDATE_REFS"); update && update[0] == '1')
        return png_write(ref_path(name), img) || (*why = "cannot write " + ref_path(name), false);
    TestImage ref;
    if (!png_read(ref_path(name), &ref)) return *why = "cannot read " + ref_path(name), false;
    const std::string actual = test_output_path(name.substr(0, name.rfind('.')) + ".actual.png");
    auto size = [](const TestImage &i) { return std::to_string(i.w) + "x" + std::to_string(i.h); };
    if (ref.w != img.w || ref.h != img.h) {
        png_write(actual, img);
        *why = "size " + size(img) + " differs from " + size(ref) + "; wrote " + actual;
        return false;
    }
    if (img.px == ref.px) return true;
    // The differing pixels red on a dimmed copy of the reference.
    TestImage diff = ref;
    for (size_t i = 0; i < img.px.size(); i++)
        diff.px[i] = img.px[i] != ref.px[i] ? 0xffff0000 : 0xff000000 | (ref.px[i] >> 2 & 0x3f3f3f);
    const std::string diff_path = test_output_path(name.substr(0, name.rfind('.')) + ".diff.png");
    png_write(actual, img);
    png_write(diff_path, diff);
    *why = std::to_string(std::count(diff.px.begin(), diff.px.end(), 0xffff0000u)) +
           " pixels differ; wrote " + actual + " and " + diff_path;
    return false;
}

std::string unit_temp_dir(const std::string &name) {
    const char *t = getenv("TMPDIR");
    std::string d = std::string(t && *t ? t : "/tmp") + "/" + name + ".XXXXXX";
    return mkdtemp(&d[0]) ? d : "";
}

bool put_text(const std::string &path, const std::string &text, long stamp) {
    if (!(std::ofstream(path, std::ios::binary) << text)) return false;
    const timespec t[2] = {{stamp, 0}, {stamp, 0}};
    return !stamp || utimensat(AT_FDCWD, path.c_str(), t, 0) == 0;
}
