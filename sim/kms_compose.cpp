// What the simulated screens show: composition of an output's planes, PNG
// screenshots and the plane update log.
#include "sim/kms_stamp.h"
#include "sim/kms_state.h"
#include "sim/sim_env.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <drm_fourcc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FILE *g_update_log = nullptr;
std::string g_update_log_path;
bool g_update_log_stopped = false;

struct Px {
    uint8_t r, g, b, a;
};

// BT.601 limited range, integer arithmetic.
inline Px yuv_px(int y, int u, int v) {
    uint8_t c[3];
    kms_yuv_rgb(y, u, v, c);
    return {c[0], c[1], c[2], 255};
}

inline uint32_t le16(const uint8_t *p) {
    return p[0] | uint32_t(p[1]) << 8;
}
inline uint32_t le32(const uint8_t *p) {
    return le16(p) | le16(p + 2) << 16;
}
inline uint8_t bits8(uint32_t v, int shift, int bits) {
    uint32_t max = (1u << bits) - 1;
    return static_cast<uint8_t>(((v >> shift & max) * 255 + max / 2) / max);
}

Px fetch(const KmsLayer &l, uint32_t x, uint32_t y) {
    if (!l.linear) return {128, 128, 128, 255};
    const uint8_t *row = l.data[0] + size_t(y) * l.pitch[0];
    const uint8_t *p = row + size_t(x) * 4;
    switch (l.format) {
        case DRM_FORMAT_XRGB8888:
            return {p[2], p[1], p[0], 255};
        case DRM_FORMAT_ARGB8888:
            return {p[2], p[1], p[0], p[3]};
        case DRM_FORMAT_XBGR8888:
            return {p[0], p[1], p[2], 255};
        case DRM_FORMAT_ABGR8888:
            return {p[0], p[1], p[2], p[3]};
        case DRM_FORMAT_RGBX8888:
            return {p[3], p[2], p[1], 255};
        case DRM_FORMAT_RGBA8888:
            return {p[3], p[2], p[1], p[0]};
        case DRM_FORMAT_BGRX8888:
            return {p[1], p[2], p[3], 255};
        case DRM_FORMAT_BGRA8888:
            return {p[1], p[2], p[3], p[0]};
        case DRM_FORMAT_XRGB2101010:
        case DRM_FORMAT_ARGB2101010: {
            uint32_t v = le32(p);
            uint8_t a = l.format == DRM_FORMAT_ARGB2101010 ? bits8(v, 30, 2) : 255;
            return {bits8(v, 20, 10), bits8(v, 10, 10), bits8(v, 0, 10), a};
        }
        default:
            break;
    }
    p = row + size_t(x) * 3;
    if (l.format == DRM_FORMAT_RGB888) return {p[2], p[1], p[0], 255};
    if (l.format == DRM_FORMAT_BGR888) return {p[0], p[1], p[2], 255};
    p = row + size_t(x) * 2;
    // Read only for the 16-bit formats: other formats' rows may be shorter.
    const bool is16 = l.format == DRM_FORMAT_RGB565 || l.format == DRM_FORMAT_BGR565 ||
                      l.format == DRM_FORMAT_XRGB1555 || l.format == DRM_FORMAT_ARGB1555;
    const uint32_t v = is16 ? le16(p) : 0;
    switch (l.format) {
        case DRM_FORMAT_RGB565:
            return {bits8(v, 11, 5), bits8(v, 5, 6), bits8(v, 0, 5), 255};
        case DRM_FORMAT_BGR565:
            return {bits8(v, 0, 5), bits8(v, 5, 6), bits8(v, 11, 5), 255};
        case DRM_FORMAT_XRGB1555:
            return {bits8(v, 10, 5), bits8(v, 5, 5), bits8(v, 0, 5), 255};
        case DRM_FORMAT_ARGB1555:
            return {bits8(v, 10, 5), bits8(v, 5, 5), bits8(v, 0, 5), uint8_t(v >> 15 ? 255 : 0)};
        case DRM_FORMAT_YUYV: {
            const uint8_t *q = row + size_t(x & ~1u) * 2;
            return yuv_px(q[(x & 1) * 2], q[1], q[3]);
        }
        case DRM_FORMAT_UYVY: {
            const uint8_t *q = row + size_t(x & ~1u) * 2;
            return yuv_px(q[1 + (x & 1) * 2], q[0], q[2]);
        }
        case DRM_FORMAT_R8:
            return {row[x], row[x], row[x], 255};
        default:
            break;
    }
    const KmsFormatInfo *fi = kms_format_info(l.format);
    if (!fi || !fi->yuv) return {255, 0, 255, 255}; // unknown to the compositor: magenta
    uint32_t cx = x / fi->hsub, cy = y / fi->vsub;
    if (fi->planes == 2) {
        const uint8_t *c = l.data[1] + size_t(cy) * l.pitch[1] + size_t(cx) * 2;
        bool swapped = l.format == DRM_FORMAT_NV21 || l.format == DRM_FORMAT_NV61 ||
                       l.format == DRM_FORMAT_NV42;
        return swapped ? yuv_px(row[x], c[1], c[0]) : yuv_px(row[x], c[0], c[1]);
    }
    uint8_t u = l.data[1][size_t(cy) * l.pitch[1] + cx],
            w = l.data[2][size_t(cy) * l.pitch[2] + cx];
    return l.format == DRM_FORMAT_YVU420 ? yuv_px(row[x], w, u) : yuv_px(row[x], u, w);
}

// Source pixel for each destination pixel of a run: nearest neighbour at the
// centre of the destination pixel.
void sample_positions(uint32_t src_pos, uint32_t src_len, int32_t dst_pos, uint32_t dst_len,
                      int64_t from, int64_t to, std::vector<uint32_t> *out) {
    out->clear();
    uint64_t last = (uint64_t(src_pos) + src_len - 1) >> 16;
    for (int64_t d = from; d < to; ++d) {
        uint64_t rel = uint64_t(d - dst_pos);
        uint64_t s = (uint64_t(src_pos) + (2 * rel + 1) * src_len / (2 * uint64_t(dst_len))) >> 16;
        out->push_back(static_cast<uint32_t>(std::min(s, last)));
    }
}

void crc_table(uint32_t *t) {
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
        t[n] = c;
    }
}

void put_be32(std::vector<uint8_t> *o, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) o->push_back(static_cast<uint8_t>(v >> s));
}

void png_chunk(std::vector<uint8_t> *o, const char *type, const std::vector<uint8_t> &data) {
    static uint32_t table[256];
    if (!table[1]) crc_table(table);
    put_be32(o, static_cast<uint32_t>(data.size()));
    size_t start = o->size();
    o->insert(o->end(), type, type + 4);
    o->insert(o->end(), data.begin(), data.end());
    uint32_t crc = 0xffffffffu;
    for (size_t i = start; i < o->size(); ++i) crc = table[(crc ^ (*o)[i]) & 0xff] ^ (crc >> 8);
    put_be32(o, crc ^ 0xffffffffu);
}

std::vector<std::string> split_names(const char *which) {
    std::vector<std::string> out;
    std::string cur;
    for (const char *p = which;; ++p) {
        if (!*p || *p == ' ' || *p == ',' || *p == '\n' || *p == '\t' || *p == '\r') {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
            if (!*p) break;
        } else {
            cur += *p;
        }
    }
    return out;
}

int write_file(const std::string &path, const std::vector<uint8_t> &data) {
    std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "wb");
    if (!f) return -1;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = fclose(f) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

} // namespace

void kms_compose(uint8_t *rgb, uint32_t w, uint32_t h, const KmsLayer *layers, size_t n) {
    memset(rgb, 0, size_t(w) * h * 3);
    std::vector<uint32_t> xs, ys;
    for (size_t k = 0; k < n; ++k) {
        const KmsLayer &l = layers[k];
        if (!l.dst_w || !l.dst_h || !l.src_w || !l.src_h) continue;
        int64_t x0 = std::max<int64_t>(0, l.dst_x),
                x1 = std::min<int64_t>(w, int64_t(l.dst_x) + l.dst_w);
        int64_t y0 = std::max<int64_t>(0, l.dst_y),
                y1 = std::min<int64_t>(h, int64_t(l.dst_y) + l.dst_h);
        if (x0 >= x1 || y0 >= y1) continue;
        sample_positions(l.src_x, l.src_w, l.dst_x, l.dst_w, x0, x1, &xs);
        sample_positions(l.src_y, l.src_h, l.dst_y, l.dst_h, y0, y1, &ys);
        for (int64_t y = y0; y < y1; ++y) {
            uint8_t *out = rgb + (size_t(y) * w + size_t(x0)) * 3;
            uint32_t sy = ys[size_t(y - y0)];
            for (size_t i = 0; i < xs.size(); ++i, out += 3) {
                Px s = fetch(l, xs[i], sy);
                if (s.a == 255) {
                    out[0] = s.r, out[1] = s.g, out[2] = s.b;
                } else if (s.a) {
                    out[0] = static_cast<uint8_t>((s.r * s.a + out[0] * (255 - s.a) + 127) / 255);
                    out[1] = static_cast<uint8_t>((s.g * s.a + out[1] * (255 - s.a) + 127) / 255);
                    out[2] = static_cast<uint8_t>((s.b * s.a + out[2] * (255 - s.a) + 127) / 255);
                }
            }
        }
    }
}

void kms_png_encode(const uint8_t *rgb, uint32_t w, uint32_t h, std::vector<uint8_t> *out) {
    out->clear();
    const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    out->insert(out->end(), sig, sig + 8);
    std::vector<uint8_t> ihdr;
    put_be32(&ihdr, w);
    put_be32(&ihdr, h);
    const uint8_t rest[5] = {8, 2, 0, 0, 0}; // 8-bit RGB, deflate, no filter, no interlace
    ihdr.insert(ihdr.end(), rest, rest + 5);
    png_chunk(out, "IHDR", ihdr);
    // Filter byte 0 before each row; stored (uncompressed) deflate blocks.
    size_t row = size_t(w) * 3 + 1, raw = row * h;
    std::vector<uint8_t> z = {0x78, 0x01};
    z.reserve(raw + raw / 65535 * 5 + 16);
    uint32_t a = 1, b = 0;
    size_t done = 0;
    std::vector<uint8_t> block;
    do {
        size_t len = std::min<size_t>(65535, raw - done);
        z.push_back(done + len == raw ? 1 : 0);
        z.push_back(static_cast<uint8_t>(len));
        z.push_back(static_cast<uint8_t>(len >> 8));
        z.push_back(static_cast<uint8_t>(~len));
        z.push_back(static_cast<uint8_t>(~len >> 8));
        for (size_t i = done; i < done + len; ++i) {
            size_t y = i / row, x = i % row;
            uint8_t v = x == 0 ? 0 : rgb[y * size_t(w) * 3 + x - 1];
            z.push_back(v);
            a = (a + v) % 65521;
            b = (b + a) % 65521;
        }
        done += len;
    } while (done < raw);
    put_be32(&z, b << 16 | a);
    png_chunk(out, "IDAT", z);
    png_chunk(out, "IEND", {});
}

std::string kms_output_name(const KmsCard &c, size_t crtc) {
    for (size_t j = 0; j < c.state.conn_crtc.size(); ++j)
        if (c.state.conn_crtc[j] == c.crtc_ids[crtc]) return c.desc.connectors[j].name;
    return (c.index ? "card" + std::to_string(c.index) + "-crtc-" : std::string("crtc-")) +
           std::to_string(crtc);
}

int kms_compose_crtc(const KmsCard &c, size_t crtc, std::vector<uint8_t> *rgb, uint32_t *w,
                     uint32_t *h) {
    const KmsCrtcState &cs = c.state.crtcs[crtc];
    if (!cs.active) return -1;
    *w = cs.mode.hdisplay;
    *h = cs.mode.vdisplay;
    std::vector<size_t> order;
    for (size_t p = 0; p < c.state.planes.size(); ++p)
        if (c.state.planes[p].crtc_id == c.crtc_ids[crtc] && c.state.planes[p].fb_id)
            order.push_back(p);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return c.state.planes[a].zpos < c.state.planes[b].zpos;
    });
    std::vector<KmsLayer> layers;
    for (size_t p : order) {
        const KmsPlaneState &s = c.state.planes[p];
        auto it = c.fbs.find(s.fb_id);
        if (it == c.fbs.end()) continue;
        const KmsFb &fb = it->second;
        KmsLayer l{};
        for (int i = 0; i < 3; ++i) {
            const uint8_t *bytes = fb.bo[i] ? kms_bo_bytes(fb.bo[i]) : nullptr;
            l.data[i] = bytes ? bytes + fb.offsets[i] : nullptr;
            l.pitch[i] = fb.pitches[i];
        }
        l.format = fb.format;
        l.linear = fb.modifier == DRM_FORMAT_MOD_LINEAR;
        l.src_x = s.src_x, l.src_y = s.src_y, l.src_w = s.src_w, l.src_h = s.src_h;
        l.dst_x = s.crtc_x, l.dst_y = s.crtc_y, l.dst_w = s.crtc_w, l.dst_h = s.crtc_h;
        layers.push_back(l);
    }
    rgb->resize(size_t(*w) * *h * 3);
    kms_compose(rgb->data(), *w, *h, layers.data(), layers.size());
    return 0;
}

int kms_screenshot_write(const char *which) {
    std::vector<std::string> names = split_names(which ? which : "");
    bool all = names.empty() || std::find(names.begin(), names.end(), "all") != names.end();
    int written = 0;
    std::vector<uint8_t> rgb, png;
    for (const KmsCard *c : kms_cards()) {
        if (!c) continue;
        for (size_t i = 0; i < c->crtc_ids.size(); ++i) {
            std::string name = kms_output_name(*c, i);
            if (!c->state.crtcs[i].active) continue;
            if (!all && std::find(names.begin(), names.end(), name) == names.end()) continue;
            uint32_t w = 0, h = 0;
            if (kms_compose_crtc(*c, i, &rgb, &w, &h) != 0) continue;
            kms_png_encode(rgb.data(), w, h, &png);
            std::string path = std::string(sim_run_dir()) + "/screen-" + name + ".png";
            if (write_file(path, png) != 0) {
                fprintf(stderr, "vex-sim: screenshot %s: %s\n", path.c_str(), strerror(errno));
                continue;
            }
            fprintf(stderr, "vex-sim: screenshot %s (%ux%u)\n", path.c_str(), w, h);
            ++written;
        }
    }
    return written;
}

void kms_screenshot_poll() {
    std::string path = std::string(sim_run_dir()) + "/screenshot";
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return;
    char buf[256] = {};
    if (FILE *f = fopen(path.c_str(), "r")) {
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        buf[n] = 0;
        fclose(f);
    }
    if (kms_screenshot_write(buf) == 0)
        fprintf(stderr, "vex-sim: screenshot request '%s' names no active output\n", buf);
    unlink(path.c_str());
}

void kms_log_stop() {
    if (g_update_log) fclose(g_update_log);
    g_update_log = nullptr;
    g_update_log_stopped = true;
}

void kms_log_plane(const KmsCard &c, size_t p, const KmsPlaneState &old) {
    const char *path = getenv("VEX_SIM_UPDATE_LOG");
    if (!path || !*path || g_update_log_stopped) return;
    if (!g_update_log || g_update_log_path != path) {
        if (g_update_log) fclose(g_update_log);
        g_update_log_path = path;
        g_update_log = fopen(path, "a");
        if (!g_update_log) {
            fprintf(stderr, "vex-sim: update log %s: %s\n", path, strerror(errno));
            return;
        }
    }
    const KmsPlaneState &s = c.state.planes[p];
    long long us = static_cast<long long>(kms_now_ns() / 1000);
    int ci = kms_crtc_index(c, s.fb_id ? s.crtc_id : old.crtc_id);
    std::string out = ci >= 0 ? kms_output_name(c, static_cast<size_t>(ci)) : "-";
    auto it = c.fbs.find(s.fb_id);
    if (!s.fb_id || it == c.fbs.end()) {
        fprintf(g_update_log, "%lld %s plane=%u fb=0 off\n", us, out.c_str(), c.plane_ids[p]);
    } else {
        const KmsFb &fb = it->second;
        if (fb.bo[0]) kms_bo_bytes(fb.bo[0]); // the stamp is read from the buffer's mapping
        char fourcc[5];
        for (int i = 0; i < 4; ++i) fourcc[i] = static_cast<char>(fb.format >> (8 * i));
        fourcc[4] = 0;
        char buf[96] = "-";
        if (const KmsBo *bo = fb.bo[0]) {
            if (bo->dumb)
                snprintf(buf, sizeof buf, "%s:%llu", bo->gbm ? "gbm" : "dumb",
                         static_cast<unsigned long long>(bo->ino));
            else
                snprintf(buf, sizeof buf, "dmabuf:%llu fd=%d",
                         static_cast<unsigned long long>(bo->ino), bo->import_fd);
        }
        fprintf(g_update_log,
                "%lld %s plane=%u fb=%u fmt=%s src=%.10g,%.10g,%.10gx%.10g dst=%d,%d,%ux%u "
                "zpos=%llu buf=%s stamp=%d\n",
                us, out.c_str(), c.plane_ids[p], s.fb_id, fourcc, s.src_x / 65536.0,
                s.src_y / 65536.0, s.src_w / 65536.0, s.src_h / 65536.0, s.crtc_x, s.crtc_y,
                s.crtc_w, s.crtc_h, static_cast<unsigned long long>(s.zpos), buf,
                kms_stamp_read(fb));
    }
    fflush(g_update_log);
}
