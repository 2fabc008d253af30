// The connect file: written where VEX_KMS_CONNECT points, read by the connect
// poll (a new modification time every run), then the QR code and captions
// drawn onto a small standby canvas chosen by the first byte.
#include "fuzz/fuzz_input.h"
#include "overlay/connect.h"
#include "overlay/text.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::string g_path;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *tmp = getenv("TMPDIR");
    g_path =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/vex-fuzz-connect." + std::to_string(getpid());
    setenv("VEX_KMS_CONNECT", g_path.c_str(), 1);
    setenv("VEX_KMS_STANDBY_QR", "1", 1);
    font_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static long run;
    int fd = open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    bool ok = write(fd, data + 1, size - 1) == (ssize_t)(size - 1);
    close(fd);
    if (!ok) return 0;
    const timespec t[2] = {{run, 0}, {++run, 0}}; // always a new modification time
    utimensat(AT_FDCWD, g_path.c_str(), t, 0);
    poll_connect();
    char caption[256];
    connect_push_caption(g_conn_push, caption, sizeof caption);
    FuzzCanvas &c = fuzz_canvas(data[0]);
    draw_connect(c.bytes(), c.pitch(), c.w, c.h);
    return 0;
}
