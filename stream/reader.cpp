#include "stream/reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/counters.h"
#include "core/env.h"
#include "core/gate.h"
#include "core/log.h"
#include "core/exit_status.h"
#include "stream/decoder.h"
#include "stream/detect_queue.h"
#include "stream/idle_cut.h"
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

// The idle cut's side of the parser: a copy of the bytes the parser holds
// (given to it and not yet handed out in a unit), to be inspected and sent
// when input goes quiet. The parser hands out its units as consecutive pieces
// of what it was given, so the copy follows it exactly.
struct CutState {
    int ms = 0; // quiet time before a cut; 0: off
    IdleCut learn;
    InputBuffer held;
    size_t primed = 0; // leading bytes of `held` that only gave a fresh parser
                       // the parameter sets; they are not sent
    long changes = 0;  // bumped with every change of `held`
    long seen = -1;    // `changes` when `view` was taken
    HeldUnit view;
    int64_t last_input_us = 0;
    long cuts = 0;
    bool lost = false; // the copy stopped matching the parser: no more cuts
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
    CutState cut;
    OwedPictures owed;
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

void cut_parser_replaced(CutState &c) {
    c.held.len = 0;
    c.primed = 0;
    c.changes++;
}

void cut_lose_track(CutState &c, const char *why) {
    vlog("idle cut: %s — the idle cut is off from here on", why);
    vlog_flush();
    c.lost = true;
    free(c.held.data);
    c.held = InputBuffer{};
    c.primed = 0;
}

// Bytes the parser consumed.
void cut_fed(CutState &c, const uint8_t *data, size_t n) {
    if (c.lost || n == 0) return;
    if (c.held.len + n > reader_buffer_limit) {
        cut_lose_track(c, "more than 8 MiB of input without an access unit");
        return;
    }
    if (c.held.reserve(n) < 0) {
        cut_lose_track(c, "no memory for the copy of the parser's input");
        return;
    }
    memcpy(c.held.data + c.held.len, data, n);
    c.held.len += n;
    c.held.pad();
    c.changes++;
}

// A unit the parser handed out: it is the front of the copy. Leaves out the
// priming bytes and, for a unit ended by the next one (`ended`), learns from
// it. Returns false when there is nothing to send (the priming bytes only).
bool cut_handed_out(Reader &r, const uint8_t *out, size_t size, bool ended) {
    CutState &c = r.cut;
    if (c.lost) return true;
    if (size > c.held.len || memcmp(out, c.held.data, size) != 0) {
        cut_lose_track(c, "the parser handed out bytes it was not given");
        return true;
    }
    size_t skip = c.primed < size ? c.primed : size;
    c.held.consume(size);
    c.held.pad();
    c.primed -= skip;
    c.changes++;
    r.pkt->data += skip;
    r.pkt->size -= (int)skip;
    if (r.pkt->size <= 0) return false;
    if (ended && idle_cut_learn(&c.learn, idle_cut_inspect(r.pkt->data, (size_t)r.pkt->size,
                                                           r.is_hevc, &r.ps))) {
        static int reported;
        if (reported < 5) {
            vlog("idle cut: pictures of %d slice(s) — each is sent after %d ms of quiet input%s",
                 c.learn.learned, c.ms, ++reported == 5 ? " (further changes not logged)" : "");
            vlog_flush();
        }
    }
    return true;
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
        const int got = drain_decoder(ctx, key);
        owed_sent(&r.owed, nal_has_slice(data, size, r.is_hevc), key, got, mono_us());
        if (got > 0) {
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
        cut_parser_replaced(r.cut);
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
        if (r.cut.ms) cut_fed(r.cut, r.in.data + pos, (size_t)used);
        pos += (size_t)used;
        if (out_size == 0) break;
        r.pkt->data = out;
        r.pkt->size = out_size;
        if (r.cut.ms && !cut_handed_out(r, out, (size_t)out_size, true)) continue;
        handle_packet(r);
    }
    r.in.consume(pos);
}

// Gives a fresh parser the stream's parameter sets, so that its own look at
// the units it cuts finds them (it complains about every slice otherwise).
// They stay at the front of the copy and are left out of what is sent.
void cut_prime(Reader &r) {
    CutState &c = r.cut;
    size_t len = param_sets_extradata_len(&r.ps, r.is_hevc);
    if (!param_sets_complete(&r.ps, r.is_hevc) || len == 0 || c.held.reserve(len) < 0) return;
    param_sets_write_extradata(&r.ps, r.is_hevc, c.held.data);
    uint8_t *out = nullptr;
    int out_size = 0;
    int used = av_parser_parse2(r.ra->parser, r.ra->ctx, &out, &out_size, c.held.data, (int)len,
                                AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used != (int)len || out_size != 0) {
        cut_lose_track(c, "a fresh parser did not take the parameter sets");
        return;
    }
    c.held.len = len;
    c.held.pad();
    c.primed = len;
    c.changes++;
}

// Sends the picture the parser holds and starts a fresh parser, which begins
// with the next unit: what follows the cut (delimiter, parameter sets, SEI)
// opens the next unit, as it would have after a cut by the parser itself.
// Zero bytes at the end of the held bytes may begin the next start code: the
// fresh parser gets them (three at most: the rest can only be padding).
void cut_now(Reader &r) {
    static const uint8_t zeros[3] = {};
    CutState &c = r.cut;
    AVCodecParserContext *np = av_parser_init(r.ra->codec->id);
    if (!np) {
        cut_lose_track(c, "no fresh parser");
        return;
    }
    av_parser_close(r.ra->parser);
    r.ra->parser = np;
    c.cuts++;
    idle_cut_sent(&c.learn);
    size_t carry = c.view.tail_zeros < sizeof zeros ? c.view.tail_zeros : sizeof zeros;
    r.pkt->data = c.held.data + c.primed;
    r.pkt->size = (int)(c.held.len - c.primed - c.view.tail_zeros);
    handle_packet(r); // a re-open replaces the parser again, unprimed
    cut_parser_replaced(c);
    if (r.ra->parser != np) return;
    cut_prime(r);
    if (carry == 0 || c.lost) return;
    uint8_t *out = nullptr;
    int out_size = 0;
    int used = av_parser_parse2(np, r.ra->ctx, &out, &out_size, zeros, (int)carry, AV_NOPTS_VALUE,
                                AV_NOPTS_VALUE, 0);
    if (used != (int)carry || out_size != 0)
        cut_lose_track(c, "a fresh parser did not take the zero bytes");
    else
        cut_fed(c, zeros, carry);
}

// A decoder that works beside the CPU may hand a picture back later than the
// drain right after its packet. While one is owed and no input is waiting, the
// decoder is asked again every millisecond, so that the picture does not wait
// for the next packet. Returns true when the caller should look again before
// reading.
bool owed_wait(Reader &r) {
    if (!owed_pending(&r.owed, mono_us())) return false;
    pollfd p{0, POLLIN, 0};
    const int n = poll(&p, 1, 1);
    if (n < 0) return errno == EINTR;
    if (n > 0) return false; // input (or its end) is waiting
    const int got = drain_decoder(r.ra->ctx, r.owed.key);
    if (got > 0) {
        owed_received(&r.owed, got);
        r.no_frame = 0;
        r.last_frame_ms = mono_ms();
    }
    return true;
}

// With the idle cut on and a picture held that may be cut: waits for input at
// most until the quiet time is over, and cuts when none has come. Quiet means
// nothing to read: the time since the last read alone is not enough, as input
// may have arrived while the reader was decoding. Returns true when the caller
// should look again before reading (a cut was made, or the wait was cut short
// by a signal).
bool cut_wait(Reader &r) {
    CutState &c = r.cut;
    if (!c.ms || c.lost) return false;
    if (c.seen != c.changes) {
        c.view = idle_cut_inspect(c.held.data + c.primed, c.held.len - c.primed, r.is_hevc, &r.ps);
        c.seen = c.changes;
    }
    if (!idle_cut_ready(c.learn, c.view)) return false;
    int64_t left_us = c.ms * 1000 - (mono_us() - c.last_input_us);
    pollfd p{0, POLLIN, 0};
    int n = poll(&p, 1, left_us > 0 ? (int)((left_us + 999) / 1000) : 0);
    if (n < 0) return errno == EINTR;
    if (n > 0) return false; // input (or its end) is waiting
    if (!idle_cut_due(c.learn, c.view, (mono_us() - c.last_input_us) / 1000, c.ms)) return true;
    cut_now(r);
    return true;
}

// End of input: the parser hands out the access unit it holds (nothing follows
// it any more) and the decoder gives back the pictures it keeps for reordering.
// A held unit without a picture (the delimiter that closes a stream) is not sent.
void flush_at_end(Reader &r) {
    parse_input(r);
    // After an idle cut the parser may hold nothing of the stream but the
    // parameter sets it was given: nothing to hand out (it would complain).
    const CutState &c = r.cut;
    bool held =
        !c.ms || c.lost || nal_has_slice(c.held.data + c.primed, c.held.len - c.primed, r.is_hevc);
    for (int i = 0; held && i < 4; i++) { // one unit is held; a few tries cost nothing
        uint8_t *out = nullptr;
        int out_size = 0;
        av_parser_parse2(r.ra->parser, r.ra->ctx, &out, &out_size, nullptr, 0, AV_NOPTS_VALUE,
                         AV_NOPTS_VALUE, 0);
        if (out_size <= 0) break;
        r.pkt->data = out;
        r.pkt->size = out_size;
        if (r.cut.ms && !cut_handed_out(r, out, (size_t)out_size, false)) continue;
        if (!nal_has_slice(r.pkt->data, (size_t)r.pkt->size, r.is_hevc)) continue;
        handle_packet(r);
    }
    drain_decoder_at_end(r.ra->ctx);
}

} // namespace

void owed_sent(OwedPictures *o, bool has_picture, int key, int got, int64_t now_us) {
    if (has_picture) {
        o->count += 1;
        o->key = key;
        o->until_us = now_us + owed_window_us;
    }
    owed_received(o, got);
}

void owed_received(OwedPictures *o, int got) {
    o->count = std::max<int64_t>(o->count - std::max(got, 0), 0);
}

bool owed_pending(OwedPictures *o, int64_t now_us) {
    if (o->count > 0 && now_us >= o->until_us) o->count = 0;
    return o->count > 0;
}

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
    r.cut.ms = idle_cut_ms(env_get("VEX_KMS_IDLE_CUT_MS"));
    if (r.cut.ms) {
        vlog("idle cut on: a held picture of the learned slice count is sent after %d ms of "
             "quiet input",
             r.cut.ms);
        vlog_flush();
    }

    while (r.pkt) {
        if (r.in.reserve((size_t)r.read_size) < 0) {
            vlog("input buffer cannot grow to %zu bytes — dropping %zu buffered bytes",
                 r.in.len + (size_t)r.read_size, r.in.len);
            vlog_flush();
            if (r.in.len == 0) break; // not even one read fits: nothing can be decoded
            r.in.len = 0;
            continue;
        }
        if (open && (owed_wait(r) || cut_wait(r))) continue;
        ssize_t n = read(0, r.in.data + r.in.len, (size_t)r.read_size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        r.cut.last_input_us = mono_us();
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
    if (r.cut.ms) {
        vlog("idle cut: %ld access units sent after quiet input, %ld of them found split",
             r.cut.cuts, r.cut.learn.relearns);
        vlog_flush();
    }
    free(r.cut.held.data);

    param_sets_free(&r.ps);
    free(r.in.data);
    av_packet_free(&r.pkt);
    mb_set_eof();
    return nullptr;
}
