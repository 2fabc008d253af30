#include "gpu/lut.h"

#include <GLES2/gl2.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/config.h"
#include "core/log.h"
#include "gpu/gl_context.h"
#include "gpu/gpu_pass.h"

int g_lut_n;
time_t g_lut_mtime;

namespace {

// The largest .cube file read: a 64-point table with long numbers is about 10 MiB.
constexpr off_t lut_file_max = 32 << 20;

bool starts_with(const char *s, const char *word) {
    return strncmp(s, word, strlen(word)) == 0;
}

uint8_t channel8(float v) {
    if (!(v >= 0.0f)) return 0; // below 0, or not a number
    if (v > 1.0f) return 255;
    return (uint8_t)(int)(v * 255.0f + 0.5f);
}

// Reads the file line by line (256-byte pieces) into `p`; false when the load
// must fail.
bool read_cube(const char *path, CubeParse *p) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > lut_file_max) {
        close(fd);
        return false;
    }
    FILE *f = fdopen(fd, "r");
    if (!f) {
        close(fd);
        return false;
    }
    char line[256];
    off_t read_total = 0;
    bool ok = true;
    while (ok && fgets(line, sizeof line, f)) {
        read_total += (off_t)strlen(line);
        if (read_total > lut_file_max)
            ok = false; // grew while being read
        else if (cube_line(p, line) < 0)
            ok = false;
    }
    fclose(f);
    return ok && cube_complete(*p);
}

} // namespace

CubeParse::~CubeParse() {
    free(table);
}

int cube_line(CubeParse *p, const char *line) {
    while (*line == ' ' || *line == '\t') line++;
    if (!*line || *line == '\n' || *line == '\r' || *line == '#') return 0;
    if (starts_with(line, "LUT_3D_SIZE")) {
        const long n = strtol(line + 11, nullptr, 10);
        if (n < 2 || n > 64) return -1;
        free(p->table);
        p->n = (int)n;
        p->stored = 0;
        p->table = static_cast<float *>(malloc((size_t)n * n * n * 3 * sizeof(float)));
        return p->table ? 0 : -1;
    }
    if (starts_with(line, "TITLE") || starts_with(line, "DOMAIN_") || starts_with(line, "LUT_1D"))
        return 0;
    if (!p->table || p->stored >= (size_t)p->n * p->n * p->n) return 0;
    float v[3];
    const char *s = line;
    for (float &x : v) {
        char *end;
        x = strtof(s, &end);
        if (end == s) return 0;
        s = end;
    }
    memcpy(p->table + p->stored * 3, v, sizeof v);
    p->stored++;
    return 0;
}

bool cube_complete(const CubeParse &p) {
    return p.table && p.n > 1 && p.stored == (size_t)p.n * p.n * p.n;
}

void cube_to_atlas(const CubeParse &p, uint8_t *atlas) {
    const size_t n = (size_t)p.n;
    for (size_t g = 0; g < n; g++)
        for (size_t b = 0; b < n; b++)
            for (size_t r = 0; r < n; r++) {
                const float *e = p.table + ((b * n + g) * n + r) * 3;
                uint8_t *t = atlas + (g * n * n + b * n + r) * 3;
                for (int c = 0; c < 3; c++) t[c] = channel8(e[c]);
            }
}

int lut_load() {
    CubeParse p;
    if (!read_cube(g_lut_path, &p)) {
        vlog("LUT parse failed: %s", g_lut_path);
        return -1;
    }
    const int n = p.n;
    auto *atlas = static_cast<uint8_t *>(malloc((size_t)n * n * n * 3));
    if (!atlas) return -1;
    cube_to_atlas(p, atlas);
    if (!g_lut_tex) glGenTextures(1, &g_lut_tex);
    glBindTexture(GL_TEXTURE_2D, g_lut_tex);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, n * n, n, 0, GL_RGB, GL_UNSIGNED_BYTE, atlas);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    g_lut_n = n;
    free(atlas);
    struct stat st;
    if (stat(g_lut_path, &st) == 0) g_lut_mtime = st.st_mtime;
    vlog("LUT ready %s (N=%d, atlas %dx%d)", g_lut_path, n, n * n, n);
    return 0;
}

void lut_check_fresh() {
    if (!g_lut_on || !g_lut_path[0]) return;
    struct stat st;
    if (stat(g_lut_path, &st) == 0 && st.st_mtime != g_lut_mtime) lut_load();
}
