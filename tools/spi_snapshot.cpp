// vex-spi-snapshot: reads the SPI tee's shared frame the way a panel process
// does and writes it as a PNG.
//
//   vex-spi-snapshot [FRAME] [OUT.png]
//
// FRAME is the shared-memory file (default /dev/shm/vex-spi.frame). The frame
// is copied only when the sequence counter is even and unchanged across the
// copy; otherwise the copy is retried (for up to two seconds). Prints
// "magic=0x... size=WxH seq=N" on standard output; with OUT.png also writes
// the picture (RGB565 expanded to 8 bits a channel, low bits 0). Exit status
// 0 on success, 1 on a bad or unreadable frame, 2 when no complete copy came.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

uint32_t crc_table[256];

uint32_t crc32(const uint8_t *p, size_t n, uint32_t c = 0xFFFFFFFFu) {
    for (size_t i = 0; i < n; i++) c = crc_table[(c ^ p[i]) & 255] ^ (c >> 8);
    return c;
}

void put32(std::vector<uint8_t> &v, uint32_t x) {
    for (int s = 24; s >= 0; s -= 8) v.push_back((uint8_t)(x >> s));
}

void chunk(std::vector<uint8_t> &out, const char *type, const std::vector<uint8_t> &data) {
    put32(out, (uint32_t)data.size());
    std::vector<uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    put32(out, crc32(body.data(), body.size()) ^ 0xFFFFFFFFu);
}

// An RGB PNG with uncompressed (stored) deflate blocks.
std::vector<uint8_t> png_rgb(const std::vector<uint8_t> &rgb, uint32_t w, uint32_t h) {
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        crc_table[i] = c;
    }
    std::vector<uint8_t> raw;
    for (uint32_t y = 0; y < h; y++) {
        raw.push_back(0);
        raw.insert(raw.end(), rgb.begin() + (size_t)y * w * 3,
                   rgb.begin() + (size_t)(y + 1) * w * 3);
    }
    std::vector<uint8_t> z = {0x78, 0x01};
    for (size_t off = 0; off < raw.size() || off == 0;) {
        const size_t n = raw.size() - off < 65535 ? raw.size() - off : 65535;
        z.push_back(off + n == raw.size() ? 1 : 0);
        z.push_back((uint8_t)n);
        z.push_back((uint8_t)(n >> 8));
        z.push_back((uint8_t)~n);
        z.push_back((uint8_t)(~n >> 8));
        z.insert(z.end(), raw.begin() + off, raw.begin() + off + n);
        off += n;
        if (n == 0) break;
    }
    uint32_t a = 1, b = 0;
    for (uint8_t c : raw) a = (a + c) % 65521, b = (b + a) % 65521;
    put32(z, (b << 16) | a);
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    put32(ihdr, w);
    put32(ihdr, h);
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    chunk(out, "IHDR", ihdr);
    chunk(out, "IDAT", z);
    chunk(out, "IEND", {});
    return out;
}

} // namespace

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "/dev/shm/vex-spi.frame";
    const char *png = argc > 2 ? argv[2] : nullptr;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < 16) {
        fprintf(stderr, "vex-spi-snapshot: %s: no frame\n", path);
        return 1;
    }
    void *m = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (m == MAP_FAILED) return 1;
    const volatile uint32_t *hdr = static_cast<const volatile uint32_t *>(m);
    const uint32_t magic = hdr[0], w = hdr[1], h = hdr[2];
    if (magic != 0x54495053u || w < 1 || h < 1 || w > 1024 || h > 1024 ||
        (off_t)(16 + 2ull * w * h) > st.st_size) {
        fprintf(stderr, "vex-spi-snapshot: %s: bad header\n", path);
        return 1;
    }
    std::vector<uint16_t> px((size_t)w * h);
    uint32_t seq = 0;
    bool ok = false;
    for (int tries = 0; tries < 2000 && !ok; tries++) {
        seq = __atomic_load_n(const_cast<const uint32_t *>(&hdr[3]), __ATOMIC_ACQUIRE);
        if (!(seq & 1)) {
            memcpy(px.data(), static_cast<const uint8_t *>(m) + 16, px.size() * 2);
            __sync_synchronize();
            ok = __atomic_load_n(const_cast<const uint32_t *>(&hdr[3]), __ATOMIC_ACQUIRE) == seq;
        }
        if (!ok) {
            const timespec ms{0, 1000000};
            nanosleep(&ms, nullptr);
        }
    }
    if (!ok) {
        fprintf(stderr, "vex-spi-snapshot: no complete frame\n");
        return 2;
    }
    printf("magic=0x%08x size=%ux%u seq=%u\n", magic, w, h, seq);
    if (!png) return 0;
    std::vector<uint8_t> rgb((size_t)w * h * 3);
    for (size_t i = 0; i < px.size(); i++) {
        rgb[i * 3] = (uint8_t)((px[i] >> 11) << 3);
        rgb[i * 3 + 1] = (uint8_t)(((px[i] >> 5) & 63) << 2);
        rgb[i * 3 + 2] = (uint8_t)((px[i] & 31) << 3);
    }
    const std::vector<uint8_t> file = png_rgb(rgb, w, h);
    FILE *f = fopen(png, "wb");
    if (!f || fwrite(file.data(), 1, file.size(), f) != file.size()) {
        if (f) fclose(f);
        fprintf(stderr, "vex-spi-snapshot: cannot write %s\n", png);
        return 1;
    }
    fclose(f);
    return 0;
}
