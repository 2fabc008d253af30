#include "core/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "core/config.h"
#include "core/env.h"
#include "core/exit_status.h"
#include "core/log.h"
#include "display/display_start.h"
#include "stream/decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

int display_retry_delay_ms(int attempt) {
    int ms = 500 * attempt;
    return ms < 5000 ? ms : 5000;
}

void startup_wait_display() {
    if (display_start() == 0) return;
    const char *plymouth = "/usr/bin/plymouth";
    if (access(plymouth, X_OK) == 0) {
        vlog("display busy — asking plymouth to hand over (quit --retain-splash)");
        vlog_flush();
        int rc = system("/usr/bin/plymouth quit --retain-splash 2>/dev/null");
        (void)rc;
        if (display_start() == 0) return;
    }
    vlog("no display yet — waiting (retry backs off to 5s)");
    vlog_flush();
    for (int attempt = 1;; attempt++) {
        usleep((useconds_t)display_retry_delay_ms(attempt) * 1000);
        if (display_start() == 0) break;
    }
    vlog("display appeared");
    vlog_flush();
}

void startup_decoder(ReaderArgs *ra) {
    const char *v = env_get("VEX_KMS_DECODER");
    const char *name = env_nonempty(v) ? v : "h264_v4l2m2m";
    const AVCodec *codec = avcodec_find_decoder_by_name(name);
    if (!codec) {
        vlog("%s decoder missing", name);
        exit_process(ExitStatus::no_decoder);
    }
    g_is_hevc = codec->id == AV_CODEC_ID_HEVC;
    vlog("HW decoder = %s (%s)", name, g_is_hevc ? "h265" : "h264");

    AVCodecContext *ctx = new_decoder_ctx(codec, name);
    if (!ctx) {
        exit_process(ExitStatus::no_decoder);
    }
    int deferred = strcmp(name, "hevc") == 0;
    if (!deferred && avcodec_open2(ctx, codec, nullptr) < 0) {
        vlog("open codec failed");
        exit_process(ExitStatus::no_decoder);
    }
    AVCodecParserContext *parser = av_parser_init(codec->id);
    if (!parser) {
        // Access units cannot be cut without a parser: no stream can be shown.
        vlog("no stream parser for %s — cannot read the stream", name);
        exit_process(ExitStatus::no_decoder);
    }
    *ra = ReaderArgs{ctx, parser, codec, name, deferred};
}
