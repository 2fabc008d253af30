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
//   nal_dump second-pps h264|hevc IN OUT
//       writes IN with a copy of every picture parameter set of id 0 behind
//       it, renumbered to id 1 (slices keep using id 0), as encoders that send
//       two PPS do
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
                    "       nal_dump second-pps CODEC IN OUT\n"
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

// The payload of a NAL unit with its emulation-prevention bytes removed, and
// back (an 03 goes in after 00 00 ahead of any byte up to 03).
static Bytes unescape(const uint8_t *p, size_t n) {
    Bytes out;
    int zeros = 0;
    for (size_t i = 0; i < n; i++) {
        if (zeros >= 2 && p[i] == 3) {
            zeros = 0;
            continue;
        }
        out.push_back(p[i]);
        zeros = p[i] == 0 ? zeros + 1 : 0;
    }
    return out;
}

static Bytes escape(const Bytes &rbsp) {
    Bytes out;
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return out;
}

// A PPS (header of `hdr` bytes, then the id as exp-Golomb) renumbered from id
// 0 to id 1; empty when its id is not 0.
static Bytes pps_as_id1(const uint8_t *unit, size_t n, size_t hdr) {
    Bytes rbsp = unescape(unit + hdr, n - hdr);
    while (!rbsp.empty() && rbsp.back() == 0) rbsp.pop_back();
    if (rbsp.empty() || !(rbsp[0] & 0x80)) return {}; // id 0 is the single bit 1
    size_t bits = rbsp.size() * 8;
    while (!((rbsp[(bits - 1) / 8] >> (7 - (bits - 1) % 8)) & 1)) bits--;
    bits--;                           // the stop bit
    std::vector<int> out = {0, 1, 0}; // id 1
    for (size_t i = 1; i < bits; i++) out.push_back((rbsp[i / 8] >> (7 - i % 8)) & 1);
    out.push_back(1);
    while (out.size() % 8) out.push_back(0);
    Bytes packed(out.size() / 8, 0);
    for (size_t i = 0; i < out.size(); i++) packed[i / 8] |= (uint8_t)(out[i] << (7 - i % 8));
    Bytes res(unit, unit + hdr);
    Bytes body = escape(packed);
    res.insert(res.end(), body.begin(), body.end());
    return res;
}

static int cmd_second_pps(bool hevc, const char *in, const char *out) {
    std::vector<Bytes> aus;
    if (load_aus(in, hevc, &aus) < 0) return 1;
    const int pps_type = hevc ? 34 : 8;
    Bytes res;
    long added = 0;
    for (const Bytes &au : aus) {
        for (const Nal &nal : find_nals(au.data(), au.size(), hevc)) {
            res.insert(res.end(), au.begin() + nal.start, au.begin() + nal.end);
            if (nal.type != pps_type) continue;
            size_t sc = au[nal.start + 2] == 1 ? 3 : 4;
            Bytes id1 =
                pps_as_id1(au.data() + nal.start + sc, nal.end - nal.start - sc, hevc ? 2 : 1);
            if (id1.empty()) continue;
            res.insert(res.end(), {0, 0, 0, 1});
            res.insert(res.end(), id1.begin(), id1.end());
            added++;
        }
    }
    if (added == 0) {
        fprintf(stderr, "%s: no PPS of id 0\n", in);
        return 1;
    }
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
    if (!strcmp(argv[1], "second-pps") && argc == 5) return cmd_second_pps(hevc, argv[3], argv[4]);
    return usage();
}
