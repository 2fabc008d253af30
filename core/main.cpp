// vex-mpp: a headless low-latency video sink. Reads an H.264/H.265 elementary
// stream on standard input, decodes it in hardware and scans the frames out on
// DRM/KMS planes.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "core/config.h"
#include "core/exit_status.h"
#include "core/log.h"
#include "core/loop.h"
#include "core/startup.h"
#include "display/display_start.h"
#include "display/plane_set.h"
#include "display/standby.h"
#include "overlay/connect.h"
#include "overlay/menu.h"
#include "overlay/overlay.h"
#include "overlay/text.h"
#include "stream/reader.h"

extern "C" {
#include <libavutil/log.h>
}

static ReaderArgs g_reader_args;

// Descriptors 0, 1 and 2 must be open before anything else is, or the card or
// a file would take the place of standard input or output. A closed standard
// input reads as an empty stream (end of input at once); closed outputs go to
// /dev/null.
static void ensure_std_descriptors() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int n = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (n >= 0 && n != fd) {
            dup2(n, fd);
            close(n);
        }
    }
}

int main(int argc, char **argv) {
    ensure_std_descriptors();
    av_log_set_level(AV_LOG_WARNING);
    if (argc > 1 && strcmp(argv[1], "--caps") == 0) {
        printf("caps gles=%d encode=%d\n", 1, 1);
        return 0;
    }

    // The face is needed from the display start on: it draws the connect
    // captions onto the first standby screens.
    font_init();
    poll_connect();
    StandbyPainters painters;
    painters.captions = draw_connect;
    painters.sidebar = menu_redraw_sidebar;
    painters.sidebar_covers = menu_sidebar_covers;
    standby_set_painters(painters);
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
        vlog_errno("cannot start the reader thread");
        exit_process(ExitStatus::no_decoder);
    }
    return presentation_loop(reader);
}
