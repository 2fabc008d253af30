// nal_dump: inspects and edits Annex B test streams at access-unit level.
//
//   nal_dump dump h264|hevc FILE
//       one line per access unit: "<index> <bytes> <nal types...>"
//   nal_dump count h264|hevc FILE
//       decodes the access units in software and prints the number of pictures
//   nal_dump splice h264|hevc BASE DONOR INDEX OUT
//       writes BASE with the parameter sets of DONOR's first access unit
//       inserted at the start of access unit INDEX
//   nal_dump strip-head h264|hevc IN OUT
//       writes IN without the non-slice units of its first access unit, so the
//       stream begins with a slice
#include "tools/au_split.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

static int usage() {
    fprintf(stderr, "usage: nal_dump dump CODEC FILE\n"
                    "       nal_dump count CODEC FILE\n"
                    "       nal_dump splice CODEC BASE DONOR INDEX OUT\n"
                    "       nal_dump strip-head CODEC IN OUT\n"
                    "CODEC is h264 or hevc\n");
    return 2;
}

static int write_file(const char *path, const Bytes &data) {
    FILE *f = fopen(path, "wb");
    if (!f) {
        fprintf(stderr, "cannot create %s: %s\n", path, strerror(errno));
        return -1;
    }
    size_t n = fwrite(data.data(), 1, data.size(), f);
    if (fclose(f) != 0 || n != data.size()) {
        fprintf(stderr, "write error on %s\n", path);
        return -1;
    }
    return 0;
}

static int load_aus(const char *path, bool hevc, std::vector<Bytes> *aus) {
    Bytes data;
    if (read_file(path, &data) < 0) return -1;
    if (split_access_units(data, hevc, aus) < 0) return -1;
    if (aus->empty()) {
        fprintf(stderr, "%s: no access units\n", path);
        return -1;
    }
    return 0;
}

static int cmd_dump(bool hevc, const char *path) {
    std::vector<Bytes> aus;
    if (load_aus(path, hevc, &aus) < 0) return 1;
    for (size_t i = 0; i < aus.size(); i++) {
        printf("%zu %zu", i, aus[i].size());
        for (const Nal &nal : find_nals(aus[i].data(), aus[i].size(), hevc))
            printf(" %d", nal.type);
        printf("\n");
    }
    return 0;
}

static int cmd_count(bool hevc, const char *path) {
    std::vector<Bytes> aus;
    if (load_aus(path, hevc, &aus) < 0) return 1;
    const AVCodec *codec = avcodec_find_decoder(hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    if (!ctx || !pkt || !frame || avcodec_open2(ctx, codec, nullptr) < 0) {
        fprintf(stderr, "cannot set up a software decoder\n");
        return 1;
    }
    long frames = 0;
    Bytes buf;
    for (size_t i = 0; i <= aus.size(); i++) {
        int r;
        if (i < aus.size()) {
            buf = aus[i];
            buf.resize(aus[i].size() + AV_INPUT_BUFFER_PADDING_SIZE, 0); // decoders read ahead
            pkt->data = buf.data();
            pkt->size = (int)aus[i].size();
            r = avcodec_send_packet(ctx, pkt);
        } else {
            r = avcodec_send_packet(ctx, nullptr); // drain at the end
        }
        if (r < 0 && r != AVERROR(EAGAIN)) continue;
        while (avcodec_receive_frame(ctx, frame) == 0) {
            frames++;
            av_frame_unref(frame);
        }
    }
    printf("%ld\n", frames);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return 0;
}

static int cmd_splice(bool hevc, const char *base, const char *donor, long index, const char *out) {
    std::vector<Bytes> b, d;
    if (load_aus(base, hevc, &b) < 0 || load_aus(donor, hevc, &d) < 0) return 1;
    if (index < 0 || (size_t)index >= b.size()) {
        fprintf(stderr, "index %ld outside 0..%zu\n", index, b.size() - 1);
        return 1;
    }
    Bytes ps;
    for (const Nal &nal : find_nals(d[0].data(), d[0].size(), hevc))
        if (is_param_set(nal.type, hevc))
            ps.insert(ps.end(), d[0].begin() + nal.start, d[0].begin() + nal.end);
    if (ps.empty()) {
        fprintf(stderr, "%s: no parameter sets in the first access unit\n", donor);
        return 1;
    }
    Bytes res;
    for (size_t i = 0; i < b.size(); i++) {
        if (i == (size_t)index) res.insert(res.end(), ps.begin(), ps.end());
        res.insert(res.end(), b[i].begin(), b[i].end());
    }
    return write_file(out, res) < 0 ? 1 : 0;
}

static int cmd_strip_head(bool hevc, const char *in, const char *out) {
    std::vector<Bytes> aus;
    if (load_aus(in, hevc, &aus) < 0) return 1;
    Bytes res;
    for (const Nal &nal : find_nals(aus[0].data(), aus[0].size(), hevc))
        if (is_slice(nal.type, hevc))
            res.insert(res.end(), aus[0].begin() + nal.start, aus[0].begin() + nal.end);
    for (size_t i = 1; i < aus.size(); i++) res.insert(res.end(), aus[i].begin(), aus[i].end());
    return write_file(out, res) < 0 ? 1 : 0;
}

int main(int argc, char **argv) {
    av_log_set_level(AV_LOG_FATAL); // the parser complains about slices without parameter sets
    if (argc < 4) return usage();
    bool hevc;
    if (!strcmp(argv[2], "hevc"))
        hevc = true;
    else if (!strcmp(argv[2], "h264"))
        hevc = false;
    else
        return usage();
    if (!strcmp(argv[1], "dump") && argc == 4) return cmd_dump(hevc, argv[3]);
    if (!strcmp(argv[1], "count") && argc == 4) return cmd_count(hevc, argv[3]);
    if (!strcmp(argv[1], "splice") && argc == 7)
        return cmd_splice(hevc, argv[3], argv[4], strtol(argv[5], nullptr, 10), argv[6]);
    if (!strcmp(argv[1], "strip-head") && argc == 5) return cmd_strip_head(hevc, argv[3], argv[4]);
    return usage();
}
