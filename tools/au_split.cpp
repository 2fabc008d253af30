#include "tools/au_split.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

int read_file(const char *path, Bytes *out) {
    FILE *f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "cannot open %s: %s\n", path, strerror(errno));
        return -1;
    }
    out->clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
    int err = ferror(f);
    fclose(f);
    if (err) {
        fprintf(stderr, "read error on %s\n", path);
        return -1;
    }
    return 0;
}

int split_access_units(const Bytes &data, bool hevc, std::vector<Bytes> *aus) {
    AVCodecID id = hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    AVCodecParserContext *parser = av_parser_init(id);
    AVCodecContext *ctx = avcodec_alloc_context3(avcodec_find_decoder(id));
    if (!parser || !ctx) {
        fprintf(stderr, "no parser for %s\n", hevc ? "hevc" : "h264");
        if (parser) av_parser_close(parser);
        avcodec_free_context(&ctx);
        return -1;
    }
    // The parser may read a little past the end of its input.
    Bytes padded(data);
    padded.resize(data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    aus->clear();
    size_t pos = 0;
    for (;;) {
        uint8_t *out = nullptr;
        int out_size = 0;
        int left = (int)(data.size() - pos);
        int used =
            av_parser_parse2(parser, ctx, &out, &out_size, left ? padded.data() + pos : nullptr,
                             left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0) break;
        pos += (size_t)used;
        if (out_size > 0) aus->emplace_back(out, out + out_size);
        if (left == 0 && out_size == 0) break; // flushed
        if (left > 0 && used == 0 && out_size == 0) break;
    }
    av_parser_close(parser);
    avcodec_free_context(&ctx);
    return 0;
}

std::vector<Nal> find_nals(const uint8_t *p, size_t n, bool hevc) {
    std::vector<Nal> nals;
    for (size_t i = 0; i + 3 < n; i++) {
        if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
        size_t start = (i > 0 && p[i - 1] == 0) ? i - 1 : i;
        if (!nals.empty()) nals.back().end = start;
        uint8_t h = p[i + 3];
        nals.push_back({start, n, hevc ? (h >> 1) & 63 : h & 31});
        i += 2;
    }
    return nals;
}

bool is_param_set(int type, bool hevc) {
    return hevc ? (type >= 32 && type <= 34) : (type == 7 || type == 8);
}

bool is_slice(int type, bool hevc) {
    return hevc ? type < 32 : (type >= 1 && type <= 5);
}
