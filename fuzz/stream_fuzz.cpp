// NAL scanning and parameter-set tracking as the reader does them: the input
// arrives in chunks (their size chosen by the first byte), is cut into access
// units by the codec library's parser, and each unit is classified and its
// parameter sets tracked; the deferred H.265 scan runs over the same chunks
// as they accumulate, dropping what it rejects. Each unit is also inspected
// as the idle cut inspects the bytes it holds.
#include "stream/idle_cut.h"
#include "stream/nal.h"
#include "stream/param_sets.h"
#include "stream/reader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <vector>

namespace {

struct Codec {
    AVCodecID id;
    AVCodecContext *ctx;
};

void classify(const uint8_t *p, size_t n, bool hevc, ParamSets *ps) {
    nal_is_key_packet(p, n, hevc);
    nal_has_slice(p, n, hevc);
    size_t units = 0;
    nal_walk(p, n, [&](const NalUnit &u) { units += u.len > 0; });
    if (n < 4) return;
    idle_cut_inspect(p, n, hevc, ps);
    if (param_sets_track(ps, p, n, hevc) > 0 && nal_has_random_access(p, n, hevc) &&
        param_sets_complete(ps, hevc)) {
        std::vector<uint8_t> ed(param_sets_extradata_len(ps, hevc));
        param_sets_write_extradata(ps, hevc, ed.data());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static Codec codecs[2] = {
        {AV_CODEC_ID_H264, avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264))},
        {AV_CODEC_ID_HEVC, avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_HEVC))}};
    const bool hevc = data[0] & 1;
    const size_t chunk = 1 + (size_t)(data[0] >> 1) * 37; // 1 .. 4700 bytes
    data++, size--;

    Codec &c = codecs[hevc];
    AVCodecParserContext *parser = av_parser_init(c.id);
    if (!parser) return 0;
    ParamSets ps{};
    HevcScan scan;
    std::vector<uint8_t> waiting; // the deferred open's buffer
    std::vector<uint8_t> in;
    for (size_t at = 0; at < size; at += chunk) {
        const size_t n = std::min(chunk, size - at);
        waiting.insert(waiting.end(), data + at, data + at + n);
        for (HevcStart s; (s = hevc_deferred_scan(&scan, waiting.data(), waiting.size())).drop;)
            waiting.erase(waiting.begin(), waiting.begin() + (long)s.drop);
        if (waiting.size() > reader_buffer_limit) waiting.clear(), scan = HevcScan{};

        in.assign(data + at, data + at + n);
        in.resize(n + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        for (size_t pos = 0; pos < n;) {
            uint8_t *out = nullptr;
            int out_size = 0;
            int used = av_parser_parse2(parser, c.ctx, &out, &out_size, in.data() + pos,
                                        (int)(n - pos), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
            if (used < 0) break;
            pos += (size_t)used;
            if (out_size > 0)
                classify(out, (size_t)out_size, hevc, &ps);
            else if (used == 0)
                break;
        }
    }
    uint8_t *out = nullptr;
    int out_size = 0;
    av_parser_parse2(parser, c.ctx, &out, &out_size, nullptr, 0, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (out_size > 0) classify(out, (size_t)out_size, hevc, &ps);
    av_parser_close(parser);
    param_sets_free(&ps);
    return 0;
}
