#include "stream/reader.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "core/clock.h"
#include "core/counters.h"
#include "core/env.h"
#include "core/gate.h"
#include "core/log.h"
#include "core/exit_status.h"
#include "stream/decoder.h"
#include "stream/detect_queue.h"
#include "stream/mailbox.h"
#include "stream/nal.h"
#include "stream/param_sets.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

constexpr int extradata_padding = 64;

int reopen_disabled(const char *name) {
    int off = strstr(name, "rkmpp") != nullptr;
    const char *v = env_get("VEX_KMS_PARAM_REOPEN");
    if (env_nonempty(v)) off = parse_int_lenient(v) == 0;
    return off;
}

// Input not yet consumed by the parser. The padding keeps reads past the end
// (as the parser's bitstream readers may do) inside zeroed memory.
struct InputBuffer {
    uint8_t *data = nullptr;
    size_t len = 0;
    size_t cap = 0;

    // Makes room for `more` bytes; 0 on success, -1 when it cannot grow.
    int reserve(size_t more) {
        size_t need = len + more;
        if (need <= cap) return 0;
        size_t ncap = need * 2;
        auto *p = (uint8_t *)realloc(data, ncap + AV_INPUT_BUFFER_PADDING_SIZE);
        if (!p) return -1;
        data = p;
        cap = ncap;
        return 0;
    }
    void consume(size_t n) {
        memmove(data, data + n, len - n);
        len -= n;
    }
    void pad() {
        if (data) memset(data + len, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    }
};

struct Reader {
    ReaderArgs *ra;
    bool is_hevc;
    int read_size;
    long dead_ms;
    int reopen_off;
    int dead_exit;

    InputBuffer in;
    HevcScan scan; // deferred open: how far the buffer has been looked at
    AVPacket *pkt = nullptr;
    ParamSets ps{};
    int64_t no_frame = 0; // packets sent since the last decoded frame
    int64_t busy = 0;
    int64_t stalls = 0;
    int64_t reopens = 0;
    int64_t last_frame_ms = 0;
};

[[noreturn]] void exit_for_respawn() {
    exit_process(ExitStatus::respawn);
}

// Opens the deferred H.265 decoder once a slice is preceded by its parameter
// sets. Returns 1 when open, 0 to wait for more input, -1 when the open failed.
int deferred_open(Reader &r) {
    // Undecodable leading bytes are dropped and what follows them is scanned
    // at once: a whole stream may already be buffered.
    size_t dropped = 0;
    HevcStart s;
    while ((s = hevc_deferred_scan(&r.scan, r.in.data + dropped, r.in.len - dropped)).drop > 0) {
        static bool warned;
        if (!warned) {
            warned = true;
            vlog("H.265 input before the first parameter sets — skipping it");
        }
        dropped += s.drop;
    }
    r.in.consume(dropped);
    if (s.open_at == 0) {
        if (r.in.len > reader_buffer_limit) {
            vlog("%zu KiB of input without H.265 parameter sets — discarding it", r.in.len / 1024);
            r.in.consume(r.in.len);
            r.scan = HevcScan{};
        }
        return 0;
    }
    AVCodecContext *ctx = r.ra->ctx;
    auto *ed = (uint8_t *)av_mallocz(s.open_at + extradata_padding);
    if (!ed) return 0;
    memcpy(ed, r.in.data, s.open_at);
    ctx->extradata = ed;
    ctx->extradata_size = (int)s.open_at;
    if (avcodec_open2(ctx, r.ra->codec, nullptr) < 0) {
        vlog("deferred HEVC open failed");
        vlog_flush();
        return -1;
    }
    vlog("HEVC decoder opened with %d-byte extradata (VPS/SPS/PPS)", (int)s.open_at);
    vlog_flush();
    return 1;
}

void reopen_decoder(Reader &r, uint8_t *extradata, size_t len) {
    drain_decoder(r.ra->ctx, 0);
    AVCodecContext *nc = new_decoder_ctx(r.ra->codec, r.ra->name);
    if (nc) {
        nc->extradata = extradata;
        nc->extradata_size = (int)len;
    } else {
        av_free(extradata);
    }
    if (!nc || avcodec_open2(nc, r.ra->codec, nullptr) < 0) {
        vlog("parameter set CHANGED but decoder reopen FAILED — exiting for respawn");
        exit_for_respawn();
    }
    avcodec_free_context(&r.ra->ctx);
    r.ra->ctx = nc;

    int64_t now = mono_ms();
    r.reopens += 1;
    g_reopens.store(r.reopens, std::memory_order_relaxed);
    gate_arm_hard(now);
    r.no_frame = 0;
    r.last_frame_ms = now;
    vlog("parameter set CHANGED mid-stream (extradata %d B) — decoder reopened (#%ld)", (int)len,
         (long)r.reopens);
    vlog_flush();
}

// Decides what a parameter-set change means. Returns true when the decoder was re-opened.
bool handle_change(Reader &r, const uint8_t *data, size_t size) {
    if (r.reopen_off) {
        vlog("parameter set CHANGED mid-stream — reopen off (rkmpp in-band or "
             "VEX_KMS_PARAM_REOPEN=0); absorbing without a rebuild");
        vlog_flush();
        return false;
    }
    if (!nal_has_random_access(data, size, r.is_hevc)) {
        vlog("parameter set CHANGED in a non-keyframe AU — in-band, no reopen");
        vlog_flush();
        return false;
    }
    uint8_t *ed = nullptr;
    size_t len = param_sets_extradata_len(&r.ps, r.is_hevc);
    if (param_sets_complete(&r.ps, r.is_hevc)) ed = (uint8_t *)av_mallocz(len + extradata_padding);
    if (!ed) {
        vlog("parameter set CHANGED but the tracked set is incomplete — no reopen");
        vlog_flush();
        return false;
    }
    param_sets_write_extradata(&r.ps, r.is_hevc, ed);
    reopen_decoder(r, ed, len);
    return true;
}

void check_stall(Reader &r) {
    if (g_dec_count.load(std::memory_order_relaxed) <= 0 || r.no_frame <= 44 || r.dead_ms <= 0)
        return;
    int64_t now = mono_ms();
    int64_t ms = now - r.last_frame_ms;
    if (ms < r.dead_ms) return;
    long dec = count_of(g_dec_count);
    long shown = count_of(g_shown_count);
    if (r.reopens > 0 || r.dead_exit) {
        vlog("decoder DEAD — %ld packets / %ld ms without a frame (dec=%ld shown=%ld "
             "reopens=%ld drops=%ld) — exiting for respawn",
             (long)r.no_frame, (long)ms, dec, shown, (long)r.reopens, (long)r.busy);
        exit_for_respawn();
    }
    r.stalls += 1;
    vlog("decoder STALLED — %ld packets / %ld ms without a frame (dec=%ld shown=%ld drops=%ld) "
         "— flushing, waiting for a keyframe (#%ld)",
         (long)r.no_frame, (long)ms, dec, shown, (long)r.busy, (long)r.stalls);
    vlog_flush();
    avcodec_flush_buffers(r.ra->ctx);
    gate_arm_hard(now);
    r.no_frame = 0;
    r.last_frame_ms = now;
}

// One access unit from the parser: detection clone, classification,
// parameter-set tracking, send and drain, stall check.
void handle_packet(Reader &r) {
    const uint8_t *data = r.pkt->data;
    size_t size = (size_t)r.pkt->size;

    if (g_detect.load(std::memory_order_relaxed)) detq_push_clone(r.pkt);

    int key = 0;
    bool changed = false;
    if (size >= 4) {
        key = nal_is_key_packet(data, size, r.is_hevc) ? 1 : 0;
        if (param_sets_track(&r.ps, data, size, r.is_hevc) > 0)
            changed = handle_change(r, data, size);
    }

    AVCodecContext *ctx = r.ra->ctx;
    bool sent = avcodec_send_packet(ctx, r.pkt) >= 0;
    if (!sent) {
        drain_decoder(ctx, key);
        sent = avcodec_send_packet(ctx, r.pkt) >= 0;
    }
    if (sent) {
        if (drain_decoder(ctx, key) > 0) {
            r.no_frame = 0;
            r.last_frame_ms = mono_ms();
        } else {
            r.no_frame += 1;
        }
    } else {
        r.busy += 1;
        r.no_frame += 1;
        if (r.busy % 30 == 1) {
            vlog("send_packet busy #%ld (dropped) dec=%ld shown=%ld", (long)r.busy,
                 count_of(g_dec_count), count_of(g_shown_count));
            vlog_flush();
        }
    }

    if (changed) {
        av_parser_close(r.ra->parser);
        r.ra->parser = av_parser_init(r.ra->codec->id);
        if (!r.ra->parser) {
            vlog("av_parser_init failed after reopen — exiting for respawn");
            exit_for_respawn();
        }
    }
    check_stall(r);
}

void parse_input(Reader &r) {
    size_t pos = 0;
    while (pos < r.in.len) {
        uint8_t *out = nullptr;
        int out_size = 0;
        int used = av_parser_parse2(r.ra->parser, r.ra->ctx, &out, &out_size, r.in.data + pos,
                                    (int)(r.in.len - pos), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0) break;
        pos += (size_t)used;
        if (out_size == 0) break;
        r.pkt->data = out;
        r.pkt->size = out_size;
        handle_packet(r);
    }
    r.in.consume(pos);
}

// End of input: the parser hands out the access unit it holds (nothing follows
// it any more) and the decoder gives back the pictures it keeps for reordering.
// A held unit without a picture (the delimiter that closes a stream) is not sent.
void flush_at_end(Reader &r) {
    parse_input(r);
    for (int i = 0; i < 4; i++) { // one unit is held; a few tries cost nothing
        uint8_t *out = nullptr;
        int out_size = 0;
        av_parser_parse2(r.ra->parser, r.ra->ctx, &out, &out_size, nullptr, 0, AV_NOPTS_VALUE,
                         AV_NOPTS_VALUE, 0);
        if (out_size <= 0) break;
        if (!nal_has_slice(out, (size_t)out_size, r.is_hevc)) continue;
        r.pkt->data = out;
        r.pkt->size = out_size;
        handle_packet(r);
    }
    drain_decoder_at_end(r.ra->ctx);
}

} // namespace

int reader_read_size(const char *value) {
    if (!value) return 24576;
    long v = parse_int_lenient(value);
    return (v >= 4096 && v <= 65536) ? (int)v : 24576;
}

void *reader_thread(void *arg) {
    Reader r;
    r.ra = (ReaderArgs *)arg;
    r.is_hevc = r.ra->codec->id == AV_CODEC_ID_HEVC;
    r.read_size = reader_read_size(env_get("VEX_KMS_READ_BYTES"));
    r.dead_ms = env_int_or("VEX_KMS_DEAD_MS", 3000);
    r.reopen_off = reopen_disabled(r.ra->name);
    r.dead_exit = env_int_or("VEX_KMS_DEAD_EXIT", 0) != 0;
    r.pkt = av_packet_alloc();
    r.last_frame_ms = mono_ms();
    bool open = !r.ra->deferred;

    while (r.pkt) {
        if (r.in.reserve((size_t)r.read_size) < 0) {
            vlog("input buffer cannot grow to %zu bytes — dropping %zu buffered bytes",
                 r.in.len + (size_t)r.read_size, r.in.len);
            vlog_flush();
            if (r.in.len == 0) break; // not even one read fits: nothing can be decoded
            r.in.len = 0;
            continue;
        }
        ssize_t n = read(0, r.in.data + r.in.len, (size_t)r.read_size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        r.in.len += (size_t)n;
        r.in.pad();

        if (!open) {
            int st = deferred_open(r);
            if (st < 0) break;
            if (st == 0) continue;
            open = true;
        }
        parse_input(r);
    }
    if (open && r.pkt) flush_at_end(r);

    param_sets_free(&r.ps);
    free(r.in.data);
    av_packet_free(&r.pkt);
    mb_set_eof();
    return nullptr;
}
