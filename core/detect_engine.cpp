#include "core/detect_engine.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/config.h"
#include "overlay/detect.h"
#include "stream/detect_queue.h"
#include "stream/nal.h"

extern "C" {
#include <libavcodec/packet.h>
}

std::atomic<int> det_running{0};

namespace {

constexpr const DetectEngine *engines[] = {&detect_fixed_box_engine};
const DetectEngine *running;

} // namespace

int detect_engine_start(const char *model, const char *weights) {
    if (running) return 0;
    for (const DetectEngine *e : engines) {
        det_running.store(1);
        if (e->start(model, weights) == 0) {
            running = e;
            return 0;
        }
        det_running.store(0);
    }
    return -1;
}

int detect_engine_stop() {
    if (!running) return 0;
    det_running.store(0);
    pthread_mutex_lock(&detq_lock);
    pthread_cond_broadcast(&detq_cv);
    pthread_mutex_unlock(&detq_lock);
    running->join();
    running = nullptr;
    detq_clear();
    detect_publish(nullptr, 0);
    return 1;
}

// ---- the fixed-box stand-in detector ----------------------------------------

namespace {

constexpr int fixed_max = 8;
constexpr size_t fixed_model_cap = 4096;
const char fixed_magic[] = "vex-mpp fixed-box detector";

struct FixedBox {
    Detection boxes[fixed_max];
    int n = 0;
    pthread_t thread{};
};
FixedBox fixed;

// The model file: a regular file read without blocking, at most `cap` bytes
// (a longer one is refused). Returns the length, or -1.
long read_model(const char *path, char *buf, size_t cap) {
    struct stat st;
    // Anything but a regular file is never opened: opening a device may have effects.
    if (!path || !*path || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    long len = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (size_t)st.st_size < cap) {
        ssize_t r = read(fd, buf, cap - 1);
        if (r >= 0 && (size_t)r < cap - 1) len = (long)r;
    }
    close(fd);
    if (len >= 0) buf[len] = 0;
    return len;
}

// The boxes of a model text; false when it is not a fixed-box model.
bool parse_fixed_model(char *text, FixedBox *m) {
    char *save = nullptr;
    char *line = strtok_r(text, "\n", &save);
    if (!line || strcmp(line, fixed_magic) != 0) return false;
    m->n = 0;
    while ((line = strtok_r(nullptr, "\n", &save)) && m->n < fixed_max) {
        Detection d{};
        if (sscanf(line, "box %f %f %f %f %f", &d.x, &d.y, &d.w, &d.h, &d.score) == 5)
            m->boxes[m->n++] = d;
    }
    return true;
}

void *fixed_thread(void *) {
    int32_t keys = 0;
    for (;;) {
        pthread_mutex_lock(&detq_lock);
        while (det_running.load() && detq_n == 0) pthread_cond_wait(&detq_cv, &detq_lock);
        if (!det_running.load()) {
            pthread_mutex_unlock(&detq_lock);
            return nullptr;
        }
        AVPacket *p = detq_pop_locked();
        pthread_mutex_unlock(&detq_lock);
        if (p && p->size >= 4 && nal_is_key_packet(p->data, (size_t)p->size, g_is_hevc)) {
            keys += 1;
            Detection d[fixed_max];
            for (int i = 0; i < fixed.n; i++) d[i] = fixed.boxes[i], d[i].tag = keys;
            detect_publish(d, fixed.n);
        }
        av_packet_free(&p);
    }
}

int fixed_start(const char *model, const char *) {
    char text[fixed_model_cap];
    FixedBox m;
    if (read_model(model, text, sizeof text) < 0 || !parse_fixed_model(text, &m)) return -1;
    fixed = m;
    if (pthread_create(&fixed.thread, nullptr, fixed_thread, nullptr) != 0) return -1;
    return 0;
}

void fixed_join() {
    pthread_join(fixed.thread, nullptr);
}

} // namespace

const DetectEngine detect_fixed_box_engine = {"fixed-box", fixed_start, fixed_join};
