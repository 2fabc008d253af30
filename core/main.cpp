// vex-mpp: a headless low-latency video sink. Reads an H.264/H.265 elementary
// stream on standard input, decodes it in hardware and scans the frames out on
// DRM/KMS planes.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pthread.h>

#include "core/config.h"
#include "core/log.h"
#include "core/loop.h"
#include "core/startup.h"
#include "display/display_start.h"
#include "display/plane_set.h"
#include "overlay/overlay.h"
#include "overlay/text.h"
#include "stream/reader.h"

extern "C" {
#include <libavutil/log.h>
}

static ReaderArgs g_reader_args;

int main(int argc, char **argv) {
    av_log_set_level(AV_LOG_WARNING);
    if (argc > 1 && strcmp(argv[1], "--caps") == 0) {
        printf("caps gles=%d encode=%d\n", 1, 1);
        return 0;
    }

    // The face is needed from the display start on: it draws the connect
    // captions onto the first standby screens.
    font_init();
    startup_wait_display();
    if (display_any_interlaced()) g_antiflicker = 1;
    config_read_switches();
    config_read_geometry();
    config_read_dsi();
    apply_output_overrides();
    config_read_gpu();
    startup_decoder(&g_reader_args);
    overlay_startup();

    pthread_t reader;
    if (pthread_create(&reader, nullptr, reader_thread, &g_reader_args) != 0) {
        vlog("cannot start the reader thread: %s", strerror(errno));
        vlog_flush();
        return 1;
    }
    return presentation_loop(reader);
}
