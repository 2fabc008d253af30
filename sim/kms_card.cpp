// The simulated display card: cards and open files, buffer objects, framebuffers,
// properties and the libdrm query, buffer and capability calls.
#include "sim/kms_sim.h"
#include "sim/kms_state.h"
#include "sim/sim_env.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <drm_fourcc.h>
#include <fcntl.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The card state lives until the process is gone: another thread may still be
// inside a display call while one thread runs exit(), so nothing here is ever
// destroyed by static destructors.
// Recursive: our own mmap calls pass through the mmap wrapper.
std::recursive_mutex &g_kms_mutex = *new std::recursive_mutex;
KmsBoard *g_board = nullptr;
int64_t g_t0_ns = 0;
int64_t g_advance_ms = 0;
std::vector<KmsCard *> &g_cards = *new std::vector<KmsCard *>; // parallel to g_board->cards
std::vector<KmsFile *> &g_files = *new std::vector<KmsFile *>;
bool g_exit_hook = false;

// The identities (device, inode) of the open card files, kept apart for the
// read() wrapper: it sees every read of every thread, the program's standard
// input included, and must not wait for the card lock, which the presentation
// thread holds through each display call. Changed with both locks held.
std::mutex &g_card_ids_lock = *new std::mutex;
std::vector<std::pair<uint64_t, uint64_t>> &g_card_ids =
    *new std::vector<std::pair<uint64_t, uint64_t>>;

void card_ids_set(const KmsFile *f, bool open) {
    std::lock_guard<std::mutex> g(g_card_ids_lock);
    const std::pair<uint64_t, uint64_t> id{f->dev, f->ino};
    auto it = std::find(g_card_ids.begin(), g_card_ids.end(), id);
    if (open && it == g_card_ids.end()) g_card_ids.push_back(id);
    if (!open && it != g_card_ids.end()) g_card_ids.erase(it);
}

constexpr uint32_t fb_max_size = 8192;

constexpr KmsFormatInfo formats[] = {
    {DRM_FORMAT_XRGB8888, 1, {4, 0, 0}, 1, 1, false, false},
    {DRM_FORMAT_ARGB8888, 1, {4, 0, 0}, 1, 1, false, true},
    {DRM_FORMAT_XBGR8888, 1, {4, 0, 0}, 1, 1, false, false},
    {DRM_FORMAT_ABGR8888, 1, {4, 0, 0}, 1, 1, false, true},
    {DRM_FORMAT_RGBX8888, 1, {4, 0, 0}, 1, 1, false, false},
    {DRM_FORMAT_RGBA8888, 1, {4, 0, 0}, 1, 1, false, true},
    {DRM_FORMAT_BGRX8888, 1, {4, 0, 0}, 1, 1, false, false},
    {DRM_FORMAT_BGRA8888, 1, {4, 0, 0}, 1, 1, false, true},
    {DRM_FORMAT_XRGB2101010, 1, {4, 0, 0}, 1, 1, false, false},
    {DRM_FORMAT_ARGB2101010, 1, {4, 0, 0}, 1, 1, false, true},
    {DRM_FORMAT_RGB888, 1, {3, 0, 0}, 1, 1, false, false},
    {DRM_FORMAT_BGR888, 1, {3, 0, 0}, 1, 1, false, false},
    {DRM_FORMAT_RGB565, 1, {2, 0, 0}, 1, 1, false, false},
    {DRM_FORMAT_BGR565, 1, {2, 0, 0}, 1, 1, false, false},
    {DRM_FORMAT_XRGB1555, 1, {2, 0, 0}, 1, 1, false, false},
    {DRM_FORMAT_ARGB1555, 1, {2, 0, 0}, 1, 1, false, true},
    {DRM_FORMAT_R8, 1, {1, 0, 0}, 1, 1, false, false},
    {DRM_FORMAT_YUYV, 1, {2, 0, 0}, 1, 1, true, false},
    {DRM_FORMAT_UYVY, 1, {2, 0, 0}, 1, 1, true, false},
    {DRM_FORMAT_NV12, 2, {1, 2, 0}, 2, 2, true, false},
    {DRM_FORMAT_NV21, 2, {1, 2, 0}, 2, 2, true, false},
    {DRM_FORMAT_NV16, 2, {1, 2, 0}, 2, 1, true, false},
    {DRM_FORMAT_NV61, 2, {1, 2, 0}, 2, 1, true, false},
    {DRM_FORMAT_NV24, 2, {1, 2, 0}, 1, 1, true, false},
    {DRM_FORMAT_NV42, 2, {1, 2, 0}, 1, 1, true, false},
    {DRM_FORMAT_YUV420, 3, {1, 1, 1}, 2, 2, true, false},
    {DRM_FORMAT_YVU420, 3, {1, 1, 1}, 2, 2, true, false},
};

int set_errno(int e) {
    errno = e;
    return e;
}
// libdrm's "-errno" results
int neg(int e) {
    return -set_errno(e);
}
// libdrm's "-1 with errno" results
int m1(int e) {
    set_errno(e);
    return -1;
}
template <class T>
T *nul(int e) {
    set_errno(e);
    return nullptr;
}

template <class T>
T *calloc_n(size_t n) {
    return static_cast<T *>(calloc(n ? n : 1, sizeof(T)));
}

// ---- buffer objects ---------------------------------------------------------

void bo_unref(KmsCard &c, KmsBo *bo) {
    if (--bo->refs > 0) return;
    if (bo->map) munmap(bo->map, bo->size);
    if (bo->fd >= 0) close(bo->fd);
    c.bos.erase(std::remove(c.bos.begin(), c.bos.end(), bo), c.bos.end());
    delete bo;
}

} // namespace

const uint8_t *kms_bo_bytes(const KmsBo *bo) {
    if (!bo->map && bo->fd >= 0) {
        void *m = kms_own_mmap(nullptr, bo->size, PROT_READ, MAP_SHARED, bo->fd, 0);
        if (m != MAP_FAILED) bo->map = static_cast<uint8_t *>(m);
    }
    return bo->map;
}

namespace {

uint32_t handle_of(KmsFile *f, const KmsBo *bo) {
    for (const auto &h : f->handles)
        if (h.second == bo) return h.first;
    return 0;
}

uint32_t handle_add(KmsFile *f, KmsBo *bo) {
    uint32_t h = handle_of(f, bo);
    if (h) return h;
    h = f->next_handle++;
    f->handles[h] = bo;
    ++bo->refs;
    return h;
}

KmsBo *bo_of(KmsFile *f, uint32_t handle) {
    auto it = f->handles.find(handle);
    return it == f->handles.end() ? nullptr : it->second;
}

int gem_close(KmsFile *f, uint32_t handle) {
    auto it = f->handles.find(handle);
    if (it == f->handles.end()) return EINVAL;
    KmsBo *bo = it->second;
    f->handles.erase(it);
    bo_unref(*f->card, bo);
    return 0;
}

int create_dumb(KmsFile *f, drm_mode_create_dumb *a) {
    if (!a->width || !a->height || !a->bpp || a->flags) return EINVAL;
    if (a->width > fb_max_size || a->height > fb_max_size * 2 || a->bpp > 64) return EINVAL;
    KmsCard &c = *f->card;
    uint64_t align = c.desc.pitch_align;
    uint64_t pitch = (uint64_t(a->width) * ((a->bpp + 7) / 8) + align - 1) / align * align;
    uint64_t size = pitch * a->height;
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size = (size + page - 1) / page * page;
    int fd = memfd_create("vex-sim-dumb", MFD_CLOEXEC);
    if (fd < 0) return ENOMEM;
    struct stat st {};
    if (ftruncate(fd, static_cast<off_t>(size)) != 0 || fstat(fd, &st) != 0) {
        close(fd);
        return ENOMEM;
    }
    void *map = kms_own_mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        close(fd);
        return ENOMEM;
    }
    KmsBo *bo = new KmsBo;
    bo->dev = st.st_dev;
    bo->ino = st.st_ino;
    bo->fd = fd;
    bo->map = static_cast<uint8_t *>(map);
    bo->size = size;
    bo->dumb = true;
    bo->width = a->width;
    bo->height = a->height;
    bo->bpp = a->bpp;
    bo->pitch = static_cast<uint32_t>(pitch);
    c.bos.push_back(bo);
    a->handle = handle_add(f, bo);
    a->pitch = bo->pitch;
    a->size = size;
    return 0;
}

int map_dumb(KmsFile *f, drm_mode_map_dumb *a) {
    KmsBo *bo = bo_of(f, a->handle);
    if (!bo) return ENOENT;
    KmsCard &c = *f->card;
    if (!bo->map_offset) {
        if (!c.next_map_offset) c.next_map_offset = 1ull << 32;
        bo->map_offset = c.next_map_offset;
        c.next_map_offset += bo->size;
    }
    a->offset = bo->map_offset;
    return 0;
}

int prime_to_handle(KmsFile *f, int prime_fd, uint32_t *handle) {
    struct stat st {};
    if (prime_fd < 0 || fstat(prime_fd, &st) != 0) return EBADF;
    KmsCard &c = *f->card;
    for (KmsBo *bo : c.bos) {
        if (bo->dev == st.st_dev && bo->ino == st.st_ino) {
            *handle = handle_add(f, bo);
            return 0;
        }
    }
    // Only memory a card could scan out: a dma-buf's backing file has a size.
    if (!S_ISREG(st.st_mode) || st.st_size <= 0) return EINVAL;
    int dup_fd = fcntl(prime_fd, F_DUPFD_CLOEXEC, 3);
    if (dup_fd < 0) return EMFILE;
    KmsBo *bo = new KmsBo;
    bo->dev = st.st_dev;
    bo->ino = st.st_ino;
    bo->fd = dup_fd;
    bo->size = static_cast<size_t>(st.st_size);
    bo->import_fd = prime_fd;
    c.bos.push_back(bo);
    *handle = handle_add(f, bo);
    return 0;
}

int handle_to_prime(KmsFile *f, uint32_t handle, uint32_t flags, int *out) {
    KmsBo *bo = bo_of(f, handle);
    if (!bo) return ENOENT;
    if (flags & ~static_cast<uint32_t>(DRM_CLOEXEC | DRM_RDWR)) return EINVAL;
    int fd = fcntl(bo->fd, (flags & DRM_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, 3);
    if (fd < 0) return EMFILE;
    *out = fd;
    return 0;
}

// ---- framebuffers -----------------------------------------------------------

bool any_plane_has(const KmsCard &c, uint32_t format, uint64_t modifier) {
    for (const KmsPlaneDesc &p : c.desc.planes)
        if (p.takes(format, modifier)) return true;
    return false;
}

int add_fb2(KmsFile *f, uint32_t w, uint32_t h, uint32_t format, const uint32_t handles[4],
            const uint32_t pitches[4], const uint32_t offsets[4], const uint64_t mods[4],
            uint32_t flags, uint32_t *id) {
    KmsCard &c = *f->card;
    if (flags & ~static_cast<uint32_t>(DRM_MODE_FB_INTERLACED | DRM_MODE_FB_MODIFIERS))
        return EINVAL;
    if ((flags & DRM_MODE_FB_MODIFIERS) && c.desc.no_fb_modifiers) return EINVAL;
    if (!w || !h || w > fb_max_size || h > fb_max_size) return EINVAL;
    const KmsFormatInfo *fi = kms_format_info(format);
    if (!fi) return EINVAL;
    uint64_t mod = (flags & DRM_MODE_FB_MODIFIERS) ? mods[0] : DRM_FORMAT_MOD_LINEAR;
    if (!any_plane_has(c, format, mod)) return EINVAL;
    KmsFb fb;
    for (int i = 0; i < 4; ++i) {
        if (i >= fi->planes) {
            if (handles[i] || pitches[i] || offsets[i] ||
                ((flags & DRM_MODE_FB_MODIFIERS) && mods[i]))
                return EINVAL;
            continue;
        }
        if (!handles[i]) return EINVAL;
        if ((flags & DRM_MODE_FB_MODIFIERS) && mods[i] != mod) return EINVAL;
        uint64_t pw = (w + (i ? fi->hsub : 1) - 1) / (i ? fi->hsub : 1);
        uint64_t ph = (h + (i ? fi->vsub : 1) - 1) / (i ? fi->vsub : 1);
        uint64_t min_pitch = pw * fi->cpp[i];
        if (pitches[i] < min_pitch) return EINVAL;
        KmsBo *bo = bo_of(f, handles[i]);
        if (!bo) return ENOENT;
        if (mod == DRM_FORMAT_MOD_LINEAR &&
            uint64_t(offsets[i]) + uint64_t(pitches[i]) * (ph - 1) + min_pitch > bo->size)
            return EINVAL;
        fb.bo[i] = bo;
        fb.handles[i] = handles[i];
        fb.pitches[i] = pitches[i];
        fb.offsets[i] = offsets[i];
    }
    fb.id = kms_alloc_id(c);
    fb.width = w;
    fb.height = h;
    fb.format = format;
    fb.flags = flags;
    fb.modifier = mod;
    fb.owner = f;
    for (KmsBo *bo : fb.bo)
        if (bo) ++bo->refs;
    c.fbs[fb.id] = fb;
    *id = fb.id;
    return 0;
}

uint32_t legacy_format(uint32_t bpp, uint32_t depth) {
    if (bpp == 32 && depth == 24) return DRM_FORMAT_XRGB8888;
    if (bpp == 32 && depth == 32) return DRM_FORMAT_ARGB8888;
    if (bpp == 32 && depth == 30) return DRM_FORMAT_XRGB2101010;
    if (bpp == 24 && depth == 24) return DRM_FORMAT_RGB888;
    if (bpp == 16 && depth == 16) return DRM_FORMAT_RGB565;
    if (bpp == 16 && depth == 15) return DRM_FORMAT_XRGB1555;
    if (bpp == 8 && depth == 8) return DRM_FORMAT_C8;
    return 0;
}

// ---- cards and files --------------------------------------------------------

uint32_t add_prop(KmsCard &c, KmsPropKind kind, const char *name, uint32_t flags,
                  std::vector<uint64_t> values, std::vector<std::string> enum_names = {}) {
    KmsProp p;
    p.id = c.next_id++;
    p.kind = kind;
    p.name = name;
    p.flags = flags;
    p.values = std::move(values);
    p.enum_names = std::move(enum_names);
    c.objects[p.id] = {KmsObjType::property, c.props.size()};
    c.props.push_back(p);
    return static_cast<uint32_t>(c.props.size() - 1);
}

uint32_t add_blob(KmsCard &c, std::vector<uint8_t> data) {
    uint32_t id = c.next_id++;
    KmsBlob b;
    b.data = std::move(data);
    b.driver_ref = true;
    c.blobs[id] = std::move(b);
    return id;
}

void put16le(std::vector<uint8_t> &e, size_t at, unsigned v) {
    e[at] = static_cast<uint8_t>(v);
    e[at + 1] = static_cast<uint8_t>(v >> 8);
}

// A base EDID block with the first mode as the preferred detailed timing and
// the connector name as the monitor name.
std::vector<uint8_t> make_edid(const KmsConnectorDesc &d, const std::vector<drmModeModeInfo> &modes,
                               unsigned serial) {
    std::vector<uint8_t> e(128, 0);
    const uint8_t header[8] = {0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0};
    memcpy(e.data(), header, 8);
    unsigned mfg = ((('V' - '@') << 10) | (('E' - '@') << 5) | ('X' - '@'));
    e[8] = static_cast<uint8_t>(mfg >> 8);
    e[9] = static_cast<uint8_t>(mfg);
    put16le(e, 10, 0x5600 + serial);
    e[12] = static_cast<uint8_t>(serial);
    e[16] = 1;
    e[17] = 34; // 2024
    e[18] = 1;
    e[19] = 3;
    e[20] = 0x80; // digital input
    e[21] = static_cast<uint8_t>(d.mm_w / 10);
    e[22] = static_cast<uint8_t>(d.mm_h / 10);
    e[23] = 120; // gamma 2.2
    e[24] = 0x0a;
    for (int i = 38; i < 54; ++i) e[i] = 1; // no standard timings
    size_t at = 54;
    if (!modes.empty()) {
        const drmModeModeInfo &m = modes[0];
        bool il = m.flags & DRM_MODE_FLAG_INTERLACE;
        unsigned ha = m.hdisplay, hb = m.htotal - m.hdisplay;
        unsigned va = il ? m.vdisplay / 2 : m.vdisplay, vb = (m.vtotal - m.vdisplay) / (il ? 2 : 1);
        unsigned hso = m.hsync_start - m.hdisplay, hsw = m.hsync_end - m.hsync_start;
        unsigned vso = (m.vsync_start - m.vdisplay) / (il ? 2 : 1);
        unsigned vsw = (m.vsync_end - m.vsync_start) / (il ? 2 : 1);
        put16le(e, at, m.clock / 10);
        e[at + 2] = static_cast<uint8_t>(ha);
        e[at + 3] = static_cast<uint8_t>(hb);
        e[at + 4] = static_cast<uint8_t>(((ha >> 8) << 4) | ((hb >> 8) & 0xf));
        e[at + 5] = static_cast<uint8_t>(va);
        e[at + 6] = static_cast<uint8_t>(vb);
        e[at + 7] = static_cast<uint8_t>(((va >> 8) << 4) | ((vb >> 8) & 0xf));
        e[at + 8] = static_cast<uint8_t>(hso);
        e[at + 9] = static_cast<uint8_t>(hsw);
        e[at + 10] = static_cast<uint8_t>(((vso & 0xf) << 4) | (vsw & 0xf));
        e[at + 11] = static_cast<uint8_t>(((hso >> 8) << 6) | ((hsw >> 8) << 4) |
                                          ((vso >> 4) << 2) | (vsw >> 4));
        e[at + 12] = static_cast<uint8_t>(d.mm_w);
        e[at + 13] = static_cast<uint8_t>(d.mm_h);
        e[at + 14] = static_cast<uint8_t>(((d.mm_w >> 8) << 4) | ((d.mm_h >> 8) & 0xf));
        e[at + 17] = static_cast<uint8_t>((il ? 0x80 : 0) | 0x18 |
                                          ((m.flags & DRM_MODE_FLAG_PVSYNC) ? 4 : 0) |
                                          ((m.flags & DRM_MODE_FLAG_PHSYNC) ? 2 : 0));
        at += 18;
    }
    e[at + 3] = 0xfc; // monitor name
    std::string name = "VEX " + d.name;
    for (size_t i = 0; i < 13; ++i)
        e[at + 5 + i] =
            i < name.size() ? static_cast<uint8_t>(name[i]) : (i == name.size() ? 0x0a : 0x20);
    for (at += 18; at < 126; at += 18) e[at + 3] = 0x10; // dummy descriptors
    unsigned sum = 0;
    for (int i = 0; i < 127; ++i) sum += e[i];
    e[127] = static_cast<uint8_t>(256 - (sum & 0xff));
    return e;
}

// The plane's IN_FORMATS blob: its formats, and each modifier any of them
// takes with the mask of the formats that take it.
std::vector<uint8_t> make_in_formats(const KmsPlaneDesc &p) {
    drm_format_modifier_blob h{};
    size_t nf = std::min<size_t>(p.formats.size(), 64);
    std::vector<drm_format_modifier> mods;
    for (size_t f = 0; f < nf; ++f) {
        const std::vector<uint64_t> &own =
            f < p.format_modifiers.size() ? p.format_modifiers[f] : p.modifiers;
        for (uint64_t mod : own) {
            auto it = std::find_if(mods.begin(), mods.end(),
                                   [&](const drm_format_modifier &m) { return m.modifier == mod; });
            if (it == mods.end()) {
                mods.push_back(drm_format_modifier{});
                mods.back().modifier = mod;
                it = mods.end() - 1;
            }
            it->formats |= 1ull << f;
        }
    }
    h.version = FORMAT_BLOB_CURRENT;
    h.count_formats = static_cast<uint32_t>(nf);
    h.formats_offset = sizeof h;
    h.count_modifiers = static_cast<uint32_t>(mods.size());
    h.modifiers_offset = static_cast<uint32_t>((sizeof h + 4 * nf + 7) / 8 * 8);
    std::vector<uint8_t> out(h.modifiers_offset + sizeof(drm_format_modifier) * mods.size());
    memcpy(out.data(), &h, sizeof h);
    memcpy(out.data() + sizeof h, p.formats.data(), 4 * nf);
    if (!mods.empty())
        memcpy(out.data() + h.modifiers_offset, mods.data(),
               sizeof(drm_format_modifier) * mods.size());
    return out;
}

KmsCard *card_create(size_t index) {
    KmsCard *cp = new KmsCard;
    KmsCard &c = *cp;
    c.desc = g_board->cards[index];
    c.index = index;
    c.next_id = 30 + static_cast<uint32_t>(index) * 1000;
    const uint32_t atomic = DRM_MODE_PROP_ATOMIC;
    const uint64_t u32max = 0xffffffffu, i32max = 0x7fffffff;
    const uint64_t i32min = static_cast<uint64_t>(int64_t(-0x7fffffff - 1));
    uint32_t p_type =
        add_prop(c, KmsPropKind::type, "type", DRM_MODE_PROP_ENUM | DRM_MODE_PROP_IMMUTABLE,
                 {0, 1, 2}, {"Overlay", "Primary", "Cursor"});
    uint32_t p_fb = add_prop(c, KmsPropKind::fb_id, "FB_ID", DRM_MODE_PROP_OBJECT | atomic,
                             {DRM_MODE_OBJECT_FB});
    uint32_t p_crtc = add_prop(c, KmsPropKind::crtc_id, "CRTC_ID", DRM_MODE_PROP_OBJECT | atomic,
                               {DRM_MODE_OBJECT_CRTC});
    uint32_t p_cx = add_prop(c, KmsPropKind::crtc_x, "CRTC_X", DRM_MODE_PROP_SIGNED_RANGE | atomic,
                             {i32min, i32max});
    uint32_t p_cy = add_prop(c, KmsPropKind::crtc_y, "CRTC_Y", DRM_MODE_PROP_SIGNED_RANGE | atomic,
                             {i32min, i32max});
    uint32_t p_cw =
        add_prop(c, KmsPropKind::crtc_w, "CRTC_W", DRM_MODE_PROP_RANGE | atomic, {0, i32max});
    uint32_t p_ch =
        add_prop(c, KmsPropKind::crtc_h, "CRTC_H", DRM_MODE_PROP_RANGE | atomic, {0, i32max});
    uint32_t p_sx =
        add_prop(c, KmsPropKind::src_x, "SRC_X", DRM_MODE_PROP_RANGE | atomic, {0, u32max});
    uint32_t p_sy =
        add_prop(c, KmsPropKind::src_y, "SRC_Y", DRM_MODE_PROP_RANGE | atomic, {0, u32max});
    uint32_t p_sw =
        add_prop(c, KmsPropKind::src_w, "SRC_W", DRM_MODE_PROP_RANGE | atomic, {0, u32max});
    uint32_t p_sh =
        add_prop(c, KmsPropKind::src_h, "SRC_H", DRM_MODE_PROP_RANGE | atomic, {0, u32max});
    uint32_t p_inf = add_prop(c, KmsPropKind::in_formats, "IN_FORMATS",
                              DRM_MODE_PROP_BLOB | DRM_MODE_PROP_IMMUTABLE, {});
    uint32_t p_active =
        add_prop(c, KmsPropKind::active, "ACTIVE", DRM_MODE_PROP_RANGE | atomic, {0, 1});
    uint32_t p_mode = add_prop(c, KmsPropKind::mode_id, "MODE_ID", DRM_MODE_PROP_BLOB | atomic, {});
    uint32_t p_edid =
        add_prop(c, KmsPropKind::edid, "EDID", DRM_MODE_PROP_BLOB | DRM_MODE_PROP_IMMUTABLE, {});
    uint32_t p_dpms = add_prop(c, KmsPropKind::dpms, "DPMS", DRM_MODE_PROP_ENUM, {0, 1, 2, 3},
                               {"On", "Standby", "Suspend", "Off"});

    for (size_t i = 0; i < c.desc.crtcs.size(); ++i) {
        c.crtc_ids.push_back(c.next_id);
        c.objects[c.next_id++] = {KmsObjType::crtc, i};
        c.crtc_props.push_back({p_active, p_mode});
    }
    for (size_t i = 0; i < c.desc.planes.size(); ++i) {
        const KmsPlaneDesc &pd = c.desc.planes[i];
        c.plane_ids.push_back(c.next_id);
        c.objects[c.next_id++] = {KmsObjType::plane, i};
        std::vector<size_t> pl = {p_type, p_fb, p_crtc, p_cx, p_cy, p_cw,
                                  p_ch,   p_sx, p_sy,   p_sw, p_sh, p_inf};
        if (c.desc.no_fb_modifiers) pl.pop_back(); // IN_FORMATS
        if (pd.has_zpos)
            pl.push_back(
                add_prop(c, KmsPropKind::zpos, "zpos",
                         DRM_MODE_PROP_RANGE | (pd.zpos_immutable ? DRM_MODE_PROP_IMMUTABLE : 0),
                         {pd.zpos_min, pd.zpos_max}));
        c.plane_props.push_back(pl);
    }
    for (size_t i = 0; i < c.desc.connectors.size(); ++i) {
        c.encoder_ids.push_back(c.next_id);
        c.objects[c.next_id++] = {KmsObjType::encoder, i};
    }
    for (size_t i = 0; i < c.desc.connectors.size(); ++i) {
        c.connector_ids.push_back(c.next_id);
        c.objects[c.next_id++] = {KmsObjType::connector, i};
        c.conn_props.push_back({p_edid, p_dpms, p_crtc});
    }
    for (const KmsPlaneDesc &pd : c.desc.planes)
        c.in_formats_blob.push_back(add_blob(c, make_in_formats(pd)));
    for (size_t i = 0; i < c.desc.connectors.size(); ++i) {
        const KmsConnectorDesc &d = c.desc.connectors[i];
        unsigned serial = static_cast<unsigned>(i * 2);
        c.edid_blob[0].push_back(d.modes.empty() ? 0 : add_blob(c, make_edid(d, d.modes, serial)));
        c.edid_blob[1].push_back(
            d.modes_after.empty() ? 0 : add_blob(c, make_edid(d, d.modes_after, serial + 1)));
    }
    c.state.crtcs.resize(c.desc.crtcs.size());
    c.state.conn_crtc.assign(c.desc.connectors.size(), 0);
    for (const KmsPlaneDesc &pd : c.desc.planes) {
        KmsPlaneState s;
        s.zpos = pd.zpos_default;
        c.state.planes.push_back(s);
    }
    c.vb_epoch_ns.assign(c.desc.crtcs.size(), 0);
    c.vb_base.assign(c.desc.crtcs.size(), 0);
    c.busy_until_ns.assign(c.desc.crtcs.size(), 0);
    return cp;
}

void file_release(KmsFile *f) {
    KmsCard &c = *f->card;
    std::vector<uint32_t> mine;
    for (const auto &fb : c.fbs)
        if (fb.second.owner == f) mine.push_back(fb.first);
    for (uint32_t id : mine) kms_fb_destroy(c, id);
    for (auto &b : c.blobs)
        if (b.second.owner == f) b.second.user_ref = false, b.second.owner = nullptr;
    kms_blob_gc(c);
    while (!f->handles.empty()) gem_close(f, f->handles.begin()->first);
    if (c.master == f) c.master = nullptr;
    g_files.erase(std::remove(g_files.begin(), g_files.end(), f), g_files.end());
    card_ids_set(f, false);
    delete f;
}

void forget_everything() {
    while (!g_files.empty()) file_release(g_files.back());
    for (KmsCard *c : g_cards) {
        if (!c) continue;
        std::vector<uint32_t> ids;
        for (const auto &fb : c->fbs) ids.push_back(fb.first);
        for (uint32_t id : ids) kms_fb_destroy(*c, id);
        while (!c->bos.empty()) {
            c->bos.back()->refs = 1;
            bo_unref(*c, c->bos.back());
        }
        delete c;
    }
    g_cards.clear();
    delete g_board;
    g_board = nullptr;
}

// Releases the files whose descriptors were all closed with plain close(), as
// the kernel does at the last close (master, framebuffers, handles).
void release_closed_files() {
    if (g_files.empty()) return;
    std::vector<std::pair<uint64_t, uint64_t>> live;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d)) {
            struct stat st {};
            if (e->d_name[0] != '.' && fstat(atoi(e->d_name), &st) == 0)
                live.push_back({st.st_dev, st.st_ino});
        }
        closedir(d);
    } else {
        return;
    }
    std::vector<KmsFile *> gone;
    for (KmsFile *f : g_files)
        if (std::find(live.begin(), live.end(), std::make_pair(f->dev, f->ino)) == live.end())
            gone.push_back(f);
    for (KmsFile *f : gone) file_release(f);
}

int install_board(const char *text) {
    KmsBoard *b = new KmsBoard;
    std::string err;
    if (kms_board_parse(text, b, &err) != 0) {
        fprintf(stderr, "vex-sim: board: %s\n", err.c_str());
        delete b;
        return -1;
    }
    forget_everything();
    g_board = b;
    g_cards.assign(b->cards.size(), nullptr);
    g_t0_ns = kms_now_ns();
    g_advance_ms = 0;
    return 0;
}

void ensure_board() {
    if (g_board) return;
    std::string text, err;
    if (kms_board_load_text(&text, &err) != 0) {
        fprintf(stderr, "vex-sim: board: %s\n", err.c_str());
        exit(2);
    }
    if (install_board(text.c_str()) != 0) exit(2);
}

int fb_total() {
    int n = 0;
    for (const KmsCard *c : g_cards)
        if (c) n += static_cast<int>(c->fbs.size());
    return n;
}

// At process exit. The card lock stays held from here on: a thread still
// running display calls (the process may exit from another thread) waits for
// the end instead of working on a card that is going away.
void exit_report() {
    kms_lock();
    const char *shot = getenv("VEX_SIM_SCREENSHOT_AT_EXIT");
    if (shot && strcmp(shot, "1") == 0) kms_screenshot_write("all");
    fprintf(stderr, "vex-sim: %d framebuffers alive at exit\n", fb_total());
    // A handle of an imported dma-buf pins the exporter's buffer for as long as
    // it is open; a program that never closes them leaks a buffer per import.
    int imported = 0;
    for (const KmsFile *f : g_files)
        for (const auto &h : f->handles)
            if (!h.second->dumb && h.second->import_fd >= 0) imported++;
    fprintf(stderr, "vex-sim: %d imported buffer handles open at exit\n", imported);
    kms_log_stop();
}

// The card and file of an fd, with the lock held by the caller.
KmsFile *file_or_errno(int fd) {
    return kms_file(fd);
}

bool is_master(const KmsFile *f) {
    return f->card->master == f;
}

// ---- property helpers -------------------------------------------------------

const std::vector<size_t> *props_of(const KmsCard &c, KmsObjType t, size_t i) {
    switch (t) {
        case KmsObjType::plane:
            return &c.plane_props[i];
        case KmsObjType::crtc:
            return &c.crtc_props[i];
        case KmsObjType::connector:
            return &c.conn_props[i];
        default:
            return nullptr;
    }
}

uint32_t obj_type_code(KmsObjType t) {
    switch (t) {
        case KmsObjType::crtc:
            return DRM_MODE_OBJECT_CRTC;
        case KmsObjType::plane:
            return DRM_MODE_OBJECT_PLANE;
        case KmsObjType::encoder:
            return DRM_MODE_OBJECT_ENCODER;
        case KmsObjType::connector:
            return DRM_MODE_OBJECT_CONNECTOR;
        case KmsObjType::property:
            return DRM_MODE_OBJECT_PROPERTY;
        case KmsObjType::fb:
            return DRM_MODE_OBJECT_FB;
        case KmsObjType::blob:
            return DRM_MODE_OBJECT_BLOB;
    }
    return 0;
}

// Visible properties of an object for this file, ids and values.
void visible_props(const KmsFile *f, KmsObjType t, size_t i, std::vector<uint32_t> *ids,
                   std::vector<uint64_t> *vals) {
    const KmsCard &c = *f->card;
    const std::vector<size_t> *pl = props_of(c, t, i);
    if (!pl) return;
    for (size_t pi : *pl) {
        const KmsProp &p = c.props[pi];
        if ((p.flags & DRM_MODE_PROP_ATOMIC) && !f->atomic) continue;
        ids->push_back(p.id);
        vals->push_back(kms_prop_value(c, t, i, p));
    }
}

uint32_t encoder_type(uint32_t connector_type) {
    switch (connector_type) {
        case DRM_MODE_CONNECTOR_HDMIA:
        case DRM_MODE_CONNECTOR_HDMIB:
        case DRM_MODE_CONNECTOR_DVID:
        case DRM_MODE_CONNECTOR_DVII:
        case DRM_MODE_CONNECTOR_DisplayPort:
        case DRM_MODE_CONNECTOR_eDP:
            return DRM_MODE_ENCODER_TMDS;
        case DRM_MODE_CONNECTOR_VGA:
            return DRM_MODE_ENCODER_DAC;
        case DRM_MODE_CONNECTOR_LVDS:
            return DRM_MODE_ENCODER_LVDS;
        case DRM_MODE_CONNECTOR_DSI:
            return DRM_MODE_ENCODER_DSI;
        case DRM_MODE_CONNECTOR_DPI:
            return DRM_MODE_ENCODER_DPI;
        case DRM_MODE_CONNECTOR_Composite:
        case DRM_MODE_CONNECTOR_SVIDEO:
        case DRM_MODE_CONNECTOR_TV:
            return DRM_MODE_ENCODER_TVDAC;
        default:
            return DRM_MODE_ENCODER_VIRTUAL;
    }
}

void card_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// `how`: "probe" (drmModeGetConnector) or "current" (drmModeGetConnectorCurrent).
drmModeConnectorPtr get_connector(int fd, uint32_t id, const char *how) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return nullptr;
    const KmsCard &c = *f->card;
    KmsObjType t;
    size_t i;
    if (!kms_lookup_obj(c, id, &t, &i) || t != KmsObjType::connector)
        return nul<drmModeConnector>(ENOENT);
    const KmsConnectorDesc &d = c.desc.connectors[i];
    bool connected;
    const std::vector<drmModeModeInfo> *modes;
    int which;
    kms_connector_now(c, i, &connected, &modes, &which);
    card_log("query connector %s %s", d.name.c_str(), how);
    drmModeConnectorPtr r = calloc_n<drmModeConnector>(1);
    r->connector_id = id;
    r->encoder_id = c.state.conn_crtc[i] ? c.encoder_ids[i] : 0;
    r->connector_type = d.type;
    r->connector_type_id = d.type_id;
    r->connection = connected ? DRM_MODE_CONNECTED : DRM_MODE_DISCONNECTED;
    r->subpixel = DRM_MODE_SUBPIXEL_UNKNOWN;
    if (connected && !modes->empty()) {
        r->mmWidth = d.mm_w;
        r->mmHeight = d.mm_h;
    }
    r->count_modes = static_cast<int>(modes->size());
    r->modes = calloc_n<drmModeModeInfo>(modes->size());
    if (!modes->empty()) memcpy(r->modes, modes->data(), modes->size() * sizeof(drmModeModeInfo));
    std::vector<uint32_t> ids;
    std::vector<uint64_t> vals;
    visible_props(f, KmsObjType::connector, i, &ids, &vals);
    r->count_props = static_cast<int>(ids.size());
    r->props = calloc_n<uint32_t>(ids.size());
    r->prop_values = calloc_n<uint64_t>(ids.size());
    std::copy(ids.begin(), ids.end(), r->props);
    std::copy(vals.begin(), vals.end(), r->prop_values);
    r->count_encoders = 1;
    r->encoders = calloc_n<uint32_t>(1);
    r->encoders[0] = c.encoder_ids[i];
    return r;
}

} // namespace

// ---- internal interface -----------------------------------------------------

void kms_lock() {
    g_kms_mutex.lock();
}
void kms_unlock() {
    g_kms_mutex.unlock();
}

int64_t kms_now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t kms_board_ms() {
    return (kms_now_ns() - g_t0_ns) / 1000000 + g_advance_ms;
}

const KmsFormatInfo *kms_format_info(uint32_t fourcc) {
    for (const KmsFormatInfo &f : formats)
        if (f.fourcc == fourcc) return &f;
    return nullptr;
}

KmsFile *kms_file(int fd) {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) return nul<KmsFile>(EBADF);
    for (KmsFile *f : g_files)
        if (f->dev == st.st_dev && f->ino == st.st_ino) return f;
    return nul<KmsFile>(ENOTTY);
}

const std::vector<KmsCard *> &kms_cards() {
    return g_cards;
}

uint32_t kms_alloc_id(KmsCard &c) {
    uint32_t id = c.next_id;
    while (c.objects.count(id) || c.fbs.count(id) || c.blobs.count(id)) ++id;
    return id;
}

bool kms_lookup_obj(const KmsCard &c, uint32_t id, KmsObjType *type, size_t *index) {
    auto it = c.objects.find(id);
    if (it != c.objects.end()) {
        *type = it->second.first;
        *index = it->second.second;
        return true;
    }
    if (c.fbs.count(id)) {
        *type = KmsObjType::fb;
        *index = 0;
        return true;
    }
    if (c.blobs.count(id)) {
        *type = KmsObjType::blob;
        *index = 0;
        return true;
    }
    return false;
}

int kms_primary_plane(const KmsCard &c, size_t crtc) {
    for (size_t i = 0; i < c.desc.planes.size(); ++i)
        if (c.desc.planes[i].type == DRM_PLANE_TYPE_PRIMARY &&
            (c.desc.planes[i].crtc_mask >> crtc & 1))
            return static_cast<int>(i);
    return -1;
}

int kms_crtc_index(const KmsCard &c, uint32_t crtc_id) {
    for (size_t i = 0; i < c.crtc_ids.size(); ++i)
        if (c.crtc_ids[i] == crtc_id) return static_cast<int>(i);
    return -1;
}

void kms_connector_now(const KmsCard &c, size_t i, bool *connected,
                       const std::vector<drmModeModeInfo> **modes, int *which) {
    static const std::vector<drmModeModeInfo> none;
    const KmsConnectorDesc &d = c.desc.connectors[i];
    int64_t t = kms_board_ms();
    bool on = d.connected;
    int64_t since = 0;
    *which = 0;
    if (!on && d.plug_ms >= 0 && t >= d.plug_ms) on = true, since = d.plug_ms;
    if (d.unplug_ms >= 0 && t >= d.unplug_ms) {
        on = false;
        if (d.replug_ms >= 0 && t >= d.replug_ms) {
            on = true;
            since = d.replug_ms;
            if (!d.modes_after.empty()) *which = 1;
        }
    }
    *connected = on;
    *modes = (on && t - since >= d.edid_ms) ? (*which ? &d.modes_after : &d.modes) : &none;
}

uint64_t kms_prop_value(const KmsCard &c, KmsObjType t, size_t i, const KmsProp &p) {
    if (t == KmsObjType::plane) {
        const KmsPlaneState &s = c.state.planes[i];
        switch (p.kind) {
            case KmsPropKind::type:
                return c.desc.planes[i].type;
            case KmsPropKind::fb_id:
                return s.fb_id;
            case KmsPropKind::crtc_id:
                return s.crtc_id;
            case KmsPropKind::src_x:
                return s.src_x;
            case KmsPropKind::src_y:
                return s.src_y;
            case KmsPropKind::src_w:
                return s.src_w;
            case KmsPropKind::src_h:
                return s.src_h;
            case KmsPropKind::crtc_x:
                return static_cast<uint64_t>(int64_t(s.crtc_x));
            case KmsPropKind::crtc_y:
                return static_cast<uint64_t>(int64_t(s.crtc_y));
            case KmsPropKind::crtc_w:
                return s.crtc_w;
            case KmsPropKind::crtc_h:
                return s.crtc_h;
            case KmsPropKind::zpos:
                return s.zpos;
            case KmsPropKind::in_formats:
                return c.in_formats_blob[i];
            default:
                return 0;
        }
    }
    if (t == KmsObjType::crtc) {
        if (p.kind == KmsPropKind::active) return c.state.crtcs[i].active;
        if (p.kind == KmsPropKind::mode_id) return c.state.crtcs[i].mode_blob;
        return 0;
    }
    if (t == KmsObjType::connector) {
        if (p.kind == KmsPropKind::crtc_id) return c.state.conn_crtc[i];
        if (p.kind == KmsPropKind::edid) {
            bool on;
            const std::vector<drmModeModeInfo> *modes;
            int which;
            kms_connector_now(c, i, &on, &modes, &which);
            return modes->empty() ? 0 : c.edid_blob[which][i];
        }
    }
    return 0;
}

KmsFb *kms_fb(KmsCard &c, uint32_t id) {
    auto it = c.fbs.find(id);
    return it == c.fbs.end() ? nullptr : &it->second;
}

void kms_blob_gc(KmsCard &c) {
    for (auto it = c.blobs.begin(); it != c.blobs.end();) {
        bool used = it->second.user_ref || it->second.driver_ref;
        for (const KmsCrtcState &s : c.state.crtcs) used = used || s.mode_blob == it->first;
        it = used ? std::next(it) : c.blobs.erase(it);
    }
}

void kms_fb_destroy(KmsCard &c, uint32_t id) {
    KmsFb *fb = kms_fb(c, id);
    if (!fb) return;
    KmsState next = c.state;
    bool touched = false;
    for (size_t p = 0; p < next.planes.size(); ++p) {
        if (next.planes[p].fb_id != id) continue;
        touched = true;
        int ci = kms_crtc_index(c, next.planes[p].crtc_id);
        if (ci >= 0 && kms_primary_plane(c, static_cast<size_t>(ci)) == static_cast<int>(p)) {
            // Removing the primary plane's framebuffer switches its CRTC off.
            uint32_t crtc_id = next.planes[p].crtc_id;
            next.crtcs[static_cast<size_t>(ci)] = KmsCrtcState();
            for (uint32_t &cc : next.conn_crtc)
                if (cc == crtc_id) cc = 0;
            for (KmsPlaneState &s : next.planes)
                if (s.crtc_id == crtc_id) kms_plane_off(s);
        }
        kms_plane_off(next.planes[p]);
    }
    if (touched) kms_apply(c, next);
    for (KmsBo *bo : fb->bo)
        if (bo) bo_unref(c, bo);
    c.fbs.erase(id);
}

int kms_mmap_resolve(int fd, off_t off, size_t len, int *bo_fd, off_t *bo_off) {
    KmsGuard g;
    KmsFile *f = kms_file(fd);
    if (!f) return 0;
    for (KmsBo *bo : f->card->bos) {
        if (!bo->map_offset || uint64_t(off) < bo->map_offset ||
            uint64_t(off) >= bo->map_offset + bo->size)
            continue;
        if (!handle_of(f, bo)) return m1(EACCES);
        uint64_t rel = uint64_t(off) - bo->map_offset;
        if (rel + len > bo->size) return m1(EINVAL);
        *bo_fd = fcntl(bo->fd, F_DUPFD_CLOEXEC, 3);
        if (*bo_fd < 0) return -1;
        *bo_off = static_cast<off_t>(rel);
        return 1;
    }
    return m1(EINVAL);
}

int kms_create_gbm_bo(int fd, uint32_t width, uint32_t height, uint32_t bpp, uint32_t *handle,
                      uint32_t *pitch, uint64_t *size) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return errno;
    drm_mode_create_dumb a{};
    a.width = width;
    a.height = height;
    a.bpp = bpp;
    if (int e = create_dumb(f, &a)) return e;
    bo_of(f, a.handle)->gbm = true;
    *handle = a.handle;
    *pitch = a.pitch;
    *size = a.size;
    return 0;
}

// ---- opening the card -------------------------------------------------------

namespace {

// One line of the card log ($VEX_SIM_CARD_LOG): the monotonic time in
// microseconds, then the text. Opened per line: the log is short.
void card_log(const char *fmt, ...) {
    const char *path = getenv("VEX_SIM_CARD_LOG");
    if (!path || !*path) return;
    FILE *f = fopen(path, "a");
    if (!f) return;
    fprintf(f, "%lld ", static_cast<long long>(kms_now_ns() / 1000));
    va_list ap;
    va_start(ap, fmt);
    vfprintf(f, fmt, ap);
    va_end(ap);
    fputc('\n', f);
    fclose(f);
}

// The ids the card gave its objects, by the board's names.
void card_log_ids(const KmsCard &c) {
    for (size_t i = 0; i < c.crtc_ids.size(); ++i)
        card_log("id crtc %s %u", c.desc.crtcs[i].name.c_str(), c.crtc_ids[i]);
    for (size_t i = 0; i < c.plane_ids.size(); ++i)
        card_log("id plane %s %u", c.desc.planes[i].name.c_str(), c.plane_ids[i]);
    for (size_t i = 0; i < c.connector_ids.size(); ++i)
        card_log("id connector %s %u", c.desc.connectors[i].name.c_str(), c.connector_ids[i]);
}

} // namespace

int sim_kms_open(const char *path, int flags) {
    KmsGuard g;
    ensure_board();
    release_closed_files();
    size_t ci = 0;
    for (; ci < g_board->cards.size(); ++ci) {
        const std::vector<std::string> &paths = g_board->cards[ci].paths;
        if (std::find(paths.begin(), paths.end(), path) != paths.end()) break;
    }
    if (ci == g_board->cards.size() || kms_board_ms() < g_board->cards[ci].appear_ms) {
        card_log("open %s ENOENT", path);
        return m1(ENOENT);
    }
    card_log("open %s ok", path);
    if (!g_cards[ci]) {
        g_cards[ci] = card_create(ci);
        card_log_ids(*g_cards[ci]);
    }
    KmsCard *c = g_cards[ci];
    const char *slash = strrchr(path, '/');
    std::string name = std::string("vex-sim-") + (slash ? slash + 1 : path);
    int fd = memfd_create(name.c_str(), (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        close(fd);
        return -1;
    }
    KmsFile *f = new KmsFile;
    f->card = c;
    f->dev = st.st_dev;
    f->ino = st.st_ino;
    g_files.push_back(f);
    card_ids_set(f, true);
    if (!c->master) c->master = f;
    if (!g_exit_hook) {
        g_exit_hook = true;
        atexit(exit_report);
    }
    return fd;
}

// ---- test hooks -------------------------------------------------------------

int sim_kms_use_board(const char *text) {
    KmsGuard g;
    if (text) return install_board(text);
    forget_everything();
    ensure_board();
    return 0;
}

void sim_kms_advance_ms(int ms) {
    KmsGuard g;
    g_advance_ms += ms;
}

int sim_kms_fb_count() {
    KmsGuard g;
    return fb_total();
}

int sim_kms_compose(const char *output, std::vector<uint8_t> *rgb, uint32_t *w, uint32_t *h) {
    KmsGuard g;
    for (const KmsCard *c : g_cards) {
        if (!c) continue;
        for (size_t i = 0; i < c->crtc_ids.size(); ++i)
            if (c->state.crtcs[i].active && kms_output_name(*c, i) == output)
                return kms_compose_crtc(*c, i, rgb, w, h);
    }
    return -1;
}

int sim_kms_screenshot(const char *which) {
    KmsGuard g;
    return kms_screenshot_write(which);
}

// ---- libdrm: resources and objects ------------------------------------------

extern "C" {

drmModeResPtr drmModeGetResources(int fd) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return nullptr;
    const KmsCard &c = *f->card;
    drmModeResPtr r = calloc_n<drmModeRes>(1);
    std::vector<uint32_t> fbs;
    for (const auto &fb : c.fbs)
        if (fb.second.owner == f) fbs.push_back(fb.first);
    r->count_fbs = static_cast<int>(fbs.size());
    r->fbs = calloc_n<uint32_t>(fbs.size());
    std::copy(fbs.begin(), fbs.end(), r->fbs);
    r->count_crtcs = static_cast<int>(c.crtc_ids.size());
    r->crtcs = calloc_n<uint32_t>(c.crtc_ids.size());
    std::copy(c.crtc_ids.begin(), c.crtc_ids.end(), r->crtcs);
    r->count_connectors = static_cast<int>(c.connector_ids.size());
    r->connectors = calloc_n<uint32_t>(c.connector_ids.size());
    std::copy(c.connector_ids.begin(), c.connector_ids.end(), r->connectors);
    r->count_encoders = static_cast<int>(c.encoder_ids.size());
    r->encoders = calloc_n<uint32_t>(c.encoder_ids.size());
    std::copy(c.encoder_ids.begin(), c.encoder_ids.end(), r->encoders);
    r->min_width = r->min_height = 1;
    r->max_width = r->max_height = fb_max_size;
    return r;
}

void drmModeFreeResources(drmModeResPtr r) {
    if (!r) return;
    free(r->fbs);
    free(r->crtcs);
    free(r->connectors);
    free(r->encoders);
    free(r);
}

drmModeConnectorPtr drmModeGetConnector(int fd, uint32_t id) {
    return get_connector(fd, id, "probe");
}

drmModeConnectorPtr drmModeGetConnectorCurrent(int fd, uint32_t id) {
    drmModeConnectorPtr r = get_connector(fd, id, "current");
    KmsGuard g;
    kms_screenshot_poll();
    return r;
}

void drmModeFreeConnector(drmModeConnectorPtr r) {
    if (!r) return;
    free(r->modes);
    free(r->props);
    free(r->prop_values);
    free(r->encoders);
    free(r);
}

uint32_t drmModeConnectorGetPossibleCrtcs(int fd, const drmModeConnector *conn) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f || !conn) return 0;
    KmsObjType t;
    size_t i;
    if (!kms_lookup_obj(*f->card, conn->connector_id, &t, &i) || t != KmsObjType::connector) {
        set_errno(ENOENT);
        return 0;
    }
    return f->card->desc.connectors[i].crtc_mask;
}

const char *drmModeGetConnectorTypeName(uint32_t type) {
    static const char *const names[] = {
        "Unknown", "VGA",       "DVI-I", "DVI-D", "DVI-A",     "Composite", "SVIDEO",
        "LVDS",    "Component", "DIN",   "DP",    "HDMI-A",    "HDMI-B",    "TV",
        "eDP",     "Virtual",   "DSI",   "DPI",   "Writeback", "SPI",       "USB"};
    return type < sizeof names / sizeof *names ? names[type] : nullptr;
}

drmModeEncoderPtr drmModeGetEncoder(int fd, uint32_t id) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return nullptr;
    const KmsCard &c = *f->card;
    KmsObjType t;
    size_t i;
    if (!kms_lookup_obj(c, id, &t, &i) || t != KmsObjType::encoder)
        return nul<drmModeEncoder>(ENOENT);
    drmModeEncoderPtr r = calloc_n<drmModeEncoder>(1);
    r->encoder_id = id;
    r->encoder_type = encoder_type(c.desc.connectors[i].type);
    r->crtc_id = c.state.conn_crtc[i];
    r->possible_crtcs = c.desc.connectors[i].crtc_mask;
    return r;
}

void drmModeFreeEncoder(drmModeEncoderPtr r) {
    free(r);
}

drmModeCrtcPtr drmModeGetCrtc(int fd, uint32_t id) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return nullptr;
    const KmsCard &c = *f->card;
    int ci = kms_crtc_index(c, id);
    if (ci < 0) return nul<drmModeCrtc>(ENOENT);
    const KmsCrtcState &s = c.state.crtcs[static_cast<size_t>(ci)];
    drmModeCrtcPtr r = calloc_n<drmModeCrtc>(1);
    r->crtc_id = id;
    int pp = kms_primary_plane(c, static_cast<size_t>(ci));
    if (pp >= 0 && c.state.planes[static_cast<size_t>(pp)].crtc_id == id) {
        const KmsPlaneState &ps = c.state.planes[static_cast<size_t>(pp)];
        r->buffer_id = ps.fb_id;
        r->x = ps.src_x >> 16;
        r->y = ps.src_y >> 16;
    }
    if (s.mode_blob) {
        r->mode_valid = 1;
        r->mode = s.mode;
        r->width = s.mode.hdisplay;
        r->height = s.mode.vdisplay;
    }
    return r;
}

void drmModeFreeCrtc(drmModeCrtcPtr r) {
    free(r);
}

drmModePlaneResPtr drmModeGetPlaneResources(int fd) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return nullptr;
    const KmsCard &c = *f->card;
    drmModePlaneResPtr r = calloc_n<drmModePlaneRes>(1);
    r->planes = calloc_n<uint32_t>(c.plane_ids.size());
    for (size_t i = 0; i < c.plane_ids.size(); ++i)
        if (f->universal || c.desc.planes[i].type == DRM_PLANE_TYPE_OVERLAY)
            r->planes[r->count_planes++] = c.plane_ids[i];
    return r;
}

void drmModeFreePlaneResources(drmModePlaneResPtr r) {
    if (!r) return;
    free(r->planes);
    free(r);
}

drmModePlanePtr drmModeGetPlane(int fd, uint32_t id) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return nullptr;
    const KmsCard &c = *f->card;
    KmsObjType t;
    size_t i;
    if (!kms_lookup_obj(c, id, &t, &i) || t != KmsObjType::plane) return nul<drmModePlane>(ENOENT);
    const KmsPlaneDesc &d = c.desc.planes[i];
    const KmsPlaneState &s = c.state.planes[i];
    drmModePlanePtr r = calloc_n<drmModePlane>(1);
    r->plane_id = id;
    r->count_formats = static_cast<uint32_t>(d.formats.size());
    r->formats = calloc_n<uint32_t>(d.formats.size());
    std::copy(d.formats.begin(), d.formats.end(), r->formats);
    r->crtc_id = s.crtc_id;
    r->fb_id = s.fb_id;
    r->crtc_x = static_cast<uint32_t>(s.crtc_x);
    r->crtc_y = static_cast<uint32_t>(s.crtc_y);
    r->x = s.src_x >> 16;
    r->y = s.src_y >> 16;
    r->possible_crtcs = d.crtc_mask;
    return r;
}

void drmModeFreePlane(drmModePlanePtr r) {
    if (!r) return;
    free(r->formats);
    free(r);
}

drmModeObjectPropertiesPtr drmModeObjectGetProperties(int fd, uint32_t id, uint32_t type) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return nullptr;
    KmsObjType t;
    size_t i;
    if (!kms_lookup_obj(*f->card, id, &t, &i) ||
        (type != DRM_MODE_OBJECT_ANY && obj_type_code(t) != type))
        return nul<drmModeObjectProperties>(ENOENT);
    if (!props_of(*f->card, t, i)) return nul<drmModeObjectProperties>(EINVAL);
    std::vector<uint32_t> ids;
    std::vector<uint64_t> vals;
    visible_props(f, t, i, &ids, &vals);
    drmModeObjectPropertiesPtr r = calloc_n<drmModeObjectProperties>(1);
    r->count_props = static_cast<uint32_t>(ids.size());
    r->props = calloc_n<uint32_t>(ids.size());
    r->prop_values = calloc_n<uint64_t>(ids.size());
    std::copy(ids.begin(), ids.end(), r->props);
    std::copy(vals.begin(), vals.end(), r->prop_values);
    return r;
}

void drmModeFreeObjectProperties(drmModeObjectPropertiesPtr r) {
    if (!r) return;
    free(r->props);
    free(r->prop_values);
    free(r);
}

drmModePropertyPtr drmModeGetProperty(int fd, uint32_t id) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return nullptr;
    KmsObjType t;
    size_t i;
    if (!kms_lookup_obj(*f->card, id, &t, &i) || t != KmsObjType::property)
        return nul<drmModePropertyRes>(ENOENT);
    const KmsProp &p = f->card->props[i];
    drmModePropertyPtr r = calloc_n<drmModePropertyRes>(1);
    r->prop_id = p.id;
    r->flags = p.flags;
    snprintf(r->name, sizeof r->name, "%s", p.name.c_str());
    r->count_values = static_cast<int>(p.values.size());
    r->values = calloc_n<uint64_t>(p.values.size());
    std::copy(p.values.begin(), p.values.end(), r->values);
    r->count_enums = static_cast<int>(p.enum_names.size());
    r->enums = calloc_n<drm_mode_property_enum>(p.enum_names.size());
    for (size_t k = 0; k < p.enum_names.size(); ++k) {
        r->enums[k].value = p.values[k];
        snprintf(r->enums[k].name, sizeof r->enums[k].name, "%s", p.enum_names[k].c_str());
    }
    return r;
}

void drmModeFreeProperty(drmModePropertyPtr r) {
    if (!r) return;
    free(r->values);
    free(r->enums);
    free(r->blob_ids);
    free(r);
}

drmModePropertyBlobPtr drmModeGetPropertyBlob(int fd, uint32_t id) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return nullptr;
    auto it = f->card->blobs.find(id);
    if (it == f->card->blobs.end()) return nul<drmModePropertyBlobRes>(ENOENT);
    drmModePropertyBlobPtr r = calloc_n<drmModePropertyBlobRes>(1);
    r->id = id;
    r->length = static_cast<uint32_t>(it->second.data.size());
    r->data = malloc(r->length ? r->length : 1);
    if (r->length) memcpy(r->data, it->second.data.data(), r->length);
    return r;
}

void drmModeFreePropertyBlob(drmModePropertyBlobPtr r) {
    if (!r) return;
    free(r->data);
    free(r);
}

bool drmModeFormatModifierBlobIterNext(const drmModePropertyBlobRes *blob,
                                       drmModeFormatModifierIterator *iter) {
    if (!blob || !iter || blob->length < sizeof(drm_format_modifier_blob)) return false;
    const auto *base = static_cast<const uint8_t *>(blob->data);
    drm_format_modifier_blob h;
    memcpy(&h, base, sizeof h);
    for (; iter->fmt_idx < h.count_formats; ++iter->fmt_idx, iter->mod_idx = 0) {
        for (; iter->mod_idx < h.count_modifiers; ++iter->mod_idx) {
            drm_format_modifier m;
            memcpy(&m, base + h.modifiers_offset + iter->mod_idx * sizeof m, sizeof m);
            uint32_t fi = iter->fmt_idx;
            if (fi < m.offset || fi >= m.offset + 64 || !(m.formats >> (fi - m.offset) & 1))
                continue;
            memcpy(&iter->fmt, base + h.formats_offset + 4 * fi, 4);
            iter->mod = m.modifier;
            ++iter->mod_idx;
            return true;
        }
    }
    return false;
}

int drmModeCreatePropertyBlob(int fd, const void *data, size_t size, uint32_t *id) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return -errno;
    if (!size || size > (1u << 24)) return neg(EINVAL);
    if (!data || !id) return neg(EFAULT);
    KmsCard &c = *f->card;
    KmsBlob b;
    b.data.assign(static_cast<const uint8_t *>(data), static_cast<const uint8_t *>(data) + size);
    b.owner = f;
    b.user_ref = true;
    *id = kms_alloc_id(c);
    c.blobs[*id] = std::move(b);
    return 0;
}

int drmModeDestroyPropertyBlob(int fd, uint32_t id) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return -errno;
    auto it = f->card->blobs.find(id);
    if (it == f->card->blobs.end()) return neg(ENOENT);
    if (it->second.owner != f || !it->second.user_ref) return neg(EPERM);
    it->second.user_ref = false;
    it->second.owner = nullptr;
    kms_blob_gc(*f->card);
    return 0;
}

void drmModeFreeModeInfo(drmModeModeInfoPtr p) {
    free(p);
}

// ---- libdrm: framebuffers ---------------------------------------------------

int drmModeAddFB2WithModifiers(int fd, uint32_t w, uint32_t h, uint32_t format,
                               const uint32_t handles[4], const uint32_t pitches[4],
                               const uint32_t offsets[4], const uint64_t modifier[4],
                               uint32_t *buf_id, uint32_t flags) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return -errno;
    static const uint64_t zero_mods[4] = {};
    int rc = add_fb2(f, w, h, format, handles, pitches, offsets, modifier ? modifier : zero_mods,
                     flags, buf_id);
    return rc ? neg(rc) : 0;
}

int drmModeAddFB2(int fd, uint32_t w, uint32_t h, uint32_t format, const uint32_t handles[4],
                  const uint32_t pitches[4], const uint32_t offsets[4], uint32_t *buf_id,
                  uint32_t flags) {
    return drmModeAddFB2WithModifiers(fd, w, h, format, handles, pitches, offsets, nullptr, buf_id,
                                      flags);
}

int drmModeAddFB(int fd, uint32_t w, uint32_t h, uint8_t depth, uint8_t bpp, uint32_t pitch,
                 uint32_t bo_handle, uint32_t *buf_id) {
    uint32_t format = legacy_format(bpp, depth);
    if (!format) return neg(EINVAL);
    const uint32_t handles[4] = {bo_handle}, pitches[4] = {pitch}, offsets[4] = {};
    return drmModeAddFB2(fd, w, h, format, handles, pitches, offsets, buf_id, 0);
}

int drmModeRmFB(int fd, uint32_t id) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return -errno;
    KmsFb *fb = kms_fb(*f->card, id);
    if (!fb || fb->owner != f) return neg(ENOENT);
    kms_fb_destroy(*f->card, id);
    kms_screenshot_poll();
    return 0;
}

drmModeFBPtr drmModeGetFB(int fd, uint32_t id) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return nullptr;
    KmsFb *fb = kms_fb(*f->card, id);
    if (!fb) return nul<drmModeFB>(ENOENT);
    const KmsFormatInfo *fi = kms_format_info(fb->format);
    drmModeFBPtr r = calloc_n<drmModeFB>(1);
    r->fb_id = id;
    r->width = fb->width;
    r->height = fb->height;
    r->pitch = fb->pitches[0];
    r->bpp = fi ? fi->cpp[0] * 8u : 0;
    r->depth = fi ? (fi->alpha ? r->bpp : (r->bpp == 32 ? 24 : r->bpp)) : 0;
    r->handle = fb->bo[0] ? handle_add(f, fb->bo[0]) : 0;
    return r;
}

drmModeFB2Ptr drmModeGetFB2(int fd, uint32_t id) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return nullptr;
    KmsFb *fb = kms_fb(*f->card, id);
    if (!fb) return nul<drmModeFB2>(ENOENT);
    drmModeFB2Ptr r = calloc_n<drmModeFB2>(1);
    r->fb_id = id;
    r->width = fb->width;
    r->height = fb->height;
    r->pixel_format = fb->format;
    r->modifier = fb->modifier;
    r->flags = fb->flags;
    for (int i = 0; i < 4; ++i) {
        r->handles[i] = fb->bo[i] ? handle_add(f, fb->bo[i]) : 0;
        r->pitches[i] = fb->pitches[i];
        r->offsets[i] = fb->offsets[i];
    }
    return r;
}

void drmModeFreeFB(drmModeFBPtr p) {
    free(p);
}
void drmModeFreeFB2(drmModeFB2Ptr p) {
    free(p);
}

// ---- libdrm: dumb buffers, GEM, PRIME ---------------------------------------

int drmModeCreateDumbBuffer(int fd, uint32_t width, uint32_t height, uint32_t bpp, uint32_t flags,
                            uint32_t *handle, uint32_t *pitch, uint64_t *size) {
    drm_mode_create_dumb a{};
    a.width = width;
    a.height = height;
    a.bpp = bpp;
    a.flags = flags;
    if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &a) != 0) return -errno;
    *handle = a.handle;
    *pitch = a.pitch;
    *size = a.size;
    return 0;
}

int drmModeDestroyDumbBuffer(int fd, uint32_t handle) {
    drm_mode_destroy_dumb a{};
    a.handle = handle;
    return drmIoctl(fd, DRM_IOCTL_MODE_DESTROY_DUMB, &a) ? -errno : 0;
}

int drmModeMapDumbBuffer(int fd, uint32_t handle, uint64_t *offset) {
    drm_mode_map_dumb a{};
    a.handle = handle;
    if (drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &a) != 0) return -errno;
    *offset = a.offset;
    return 0;
}

int drmPrimeFDToHandle(int fd, int prime_fd, uint32_t *handle) {
    drm_prime_handle a{};
    a.fd = prime_fd;
    if (drmIoctl(fd, DRM_IOCTL_PRIME_FD_TO_HANDLE, &a) != 0) return -1;
    *handle = a.handle;
    return 0;
}

int drmPrimeHandleToFD(int fd, uint32_t handle, uint32_t flags, int *prime_fd) {
    drm_prime_handle a{};
    a.handle = handle;
    a.flags = flags;
    a.fd = -1;
    if (drmIoctl(fd, DRM_IOCTL_PRIME_HANDLE_TO_FD, &a) != 0) return -1;
    *prime_fd = a.fd;
    return 0;
}

int drmCloseBufferHandle(int fd, uint32_t handle) {
    drm_gem_close a{};
    a.handle = handle;
    return drmIoctl(fd, DRM_IOCTL_GEM_CLOSE, &a);
}

// ---- libdrm: device, caps, master -------------------------------------------

drmVersionPtr drmGetVersion(int fd) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    if (!f) return nullptr;
    const KmsCardDesc &d = f->card->desc;
    drmVersionPtr v = calloc_n<drmVersion>(1);
    v->version_major = d.version[0];
    v->version_minor = d.version[1];
    v->version_patchlevel = d.version[2];
    v->name = strdup(d.driver.c_str());
    v->name_len = static_cast<int>(d.driver.size());
    v->date = strdup(d.date.c_str());
    v->date_len = static_cast<int>(d.date.size());
    v->desc = strdup(d.desc.c_str());
    v->desc_len = static_cast<int>(d.desc.size());
    return v;
}

void drmFreeVersion(drmVersionPtr v) {
    if (!v) return;
    free(v->name);
    free(v->date);
    free(v->desc);
    free(v);
}

void drmFree(void *p) {
    free(p);
}

int drmGetCap(int fd, uint64_t cap, uint64_t *value) {
    drm_get_cap a{};
    a.capability = cap;
    if (drmIoctl(fd, DRM_IOCTL_GET_CAP, &a) != 0) return -1;
    *value = a.value;
    return 0;
}

int drmSetClientCap(int fd, uint64_t cap, uint64_t value) {
    drm_set_client_cap a{};
    a.capability = cap;
    a.value = value;
    return drmIoctl(fd, DRM_IOCTL_SET_CLIENT_CAP, &a);
}

int drmSetMaster(int fd) {
    return drmIoctl(fd, DRM_IOCTL_SET_MASTER, nullptr);
}
int drmDropMaster(int fd) {
    return drmIoctl(fd, DRM_IOCTL_DROP_MASTER, nullptr);
}

int drmIsMaster(int fd) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    return f && is_master(f);
}

int drmIsKMS(int fd) {
    KmsGuard g;
    KmsFile *f = file_or_errno(fd);
    return f && !f->card->crtc_ids.empty();
}

int drmClose(int fd) {
    {
        KmsGuard g;
        KmsFile *f = kms_file(fd);
        if (f) file_release(f);
    }
    return close(fd);
}

} // extern "C"

// ---- drmIoctl ---------------------------------------------------------------

namespace {

int get_cap(const KmsFile *f, drm_get_cap *a) {
    switch (a->capability) {
        case DRM_CAP_DUMB_BUFFER:
            a->value = 1;
            break;
        case DRM_CAP_VBLANK_HIGH_CRTC:
            a->value = 1;
            break;
        case DRM_CAP_DUMB_PREFERRED_DEPTH:
            a->value = 24;
            break;
        case DRM_CAP_DUMB_PREFER_SHADOW:
            a->value = 0;
            break;
        case DRM_CAP_PRIME:
            a->value = DRM_PRIME_CAP_IMPORT | DRM_PRIME_CAP_EXPORT;
            break;
        case DRM_CAP_TIMESTAMP_MONOTONIC:
            a->value = 1;
            break;
        case DRM_CAP_ASYNC_PAGE_FLIP:
            a->value = 0;
            break;
        case DRM_CAP_CURSOR_WIDTH:
        case DRM_CAP_CURSOR_HEIGHT:
            a->value = 64;
            break;
        case DRM_CAP_ADDFB2_MODIFIERS:
            a->value = f->card->desc.no_fb_modifiers ? 0 : 1;
            break;
        case DRM_CAP_PAGE_FLIP_TARGET:
            a->value = 0;
            break;
        case DRM_CAP_CRTC_IN_VBLANK_EVENT:
            a->value = 1;
            break;
        case DRM_CAP_SYNCOBJ:
        case DRM_CAP_SYNCOBJ_TIMELINE:
            a->value = 0;
            break;
        default:
            return EINVAL;
    }
    return 0;
}

int set_client_cap(KmsFile *f, const drm_set_client_cap *a) {
    switch (a->capability) {
        case DRM_CLIENT_CAP_STEREO_3D:
        case DRM_CLIENT_CAP_ASPECT_RATIO:
            return a->value > 1 ? EINVAL : 0;
        case DRM_CLIENT_CAP_UNIVERSAL_PLANES:
            if (a->value > 1) return EINVAL;
            f->universal = a->value;
            return 0;
        case DRM_CLIENT_CAP_ATOMIC:
            if (f->card->desc.refuse_atomic_cap) return EOPNOTSUPP;
            if (a->value > 2) return EINVAL;
            f->atomic = a->value;
            if (a->value) f->universal = true;
            return 0;
        case DRM_CLIENT_CAP_WRITEBACK_CONNECTORS:
            return (!f->atomic || a->value > 1) ? EINVAL : 0;
        default:
            return EINVAL;
    }
}

int get_blob(KmsFile *f, drm_mode_get_blob *a) {
    auto it = f->card->blobs.find(a->blob_id);
    if (it == f->card->blobs.end()) return ENOENT;
    uint32_t n = static_cast<uint32_t>(it->second.data.size());
    if (a->length >= n && a->data && n)
        memcpy(reinterpret_cast<void *>(static_cast<uintptr_t>(a->data)), it->second.data.data(),
               n);
    a->length = n;
    return 0;
}

int dispatch(KmsFile *f, unsigned long request, void *arg) {
    switch (request) {
        case DRM_IOCTL_MODE_CREATE_DUMB:
            return create_dumb(f, static_cast<drm_mode_create_dumb *>(arg));
        case DRM_IOCTL_MODE_MAP_DUMB:
            return map_dumb(f, static_cast<drm_mode_map_dumb *>(arg));
        case DRM_IOCTL_MODE_DESTROY_DUMB:
            return gem_close(f, static_cast<drm_mode_destroy_dumb *>(arg)->handle) ? ENOENT : 0;
        case DRM_IOCTL_GEM_CLOSE:
            return gem_close(f, static_cast<drm_gem_close *>(arg)->handle);
        case DRM_IOCTL_PRIME_FD_TO_HANDLE: {
            auto *a = static_cast<drm_prime_handle *>(arg);
            return prime_to_handle(f, a->fd, &a->handle);
        }
        case DRM_IOCTL_PRIME_HANDLE_TO_FD: {
            auto *a = static_cast<drm_prime_handle *>(arg);
            return handle_to_prime(f, a->handle, a->flags, &a->fd);
        }
        case DRM_IOCTL_MODE_GETPROPBLOB:
            return get_blob(f, static_cast<drm_mode_get_blob *>(arg));
        case DRM_IOCTL_GET_CAP:
            return get_cap(f, static_cast<drm_get_cap *>(arg));
        case DRM_IOCTL_SET_CLIENT_CAP:
            return set_client_cap(f, static_cast<drm_set_client_cap *>(arg));
        case DRM_IOCTL_SET_MASTER:
            if (f->card->master && f->card->master != f) return EBUSY;
            f->card->master = f;
            return 0;
        case DRM_IOCTL_DROP_MASTER:
            if (f->card->master != f) return EINVAL;
            f->card->master = nullptr;
            return 0;
        case DRM_IOCTL_MODE_RMFB: {
            uint32_t id = *static_cast<uint32_t *>(arg);
            KmsFb *fb = kms_fb(*f->card, id);
            if (!fb || fb->owner != f) return ENOENT;
            kms_fb_destroy(*f->card, id);
            return 0;
        }
        default: {
            static bool warned = false;
            if (!warned) fprintf(stderr, "vex-sim: drmIoctl 0x%lx is not simulated\n", request);
            warned = true;
            return EINVAL;
        }
    }
}

} // namespace

extern "C" int drmIoctl(int fd, unsigned long request, void *arg) {
    kms_lock();
    KmsFile *f = kms_file(fd);
    if (!f) {
        kms_unlock();
        int ret;
        do {
            ret = ioctl(fd, request, arg);
        } while (ret == -1 && (errno == EINTR || errno == EAGAIN));
        return ret;
    }
    if (!arg && request != DRM_IOCTL_SET_MASTER && request != DRM_IOCTL_DROP_MASTER) {
        kms_unlock();
        return m1(EFAULT);
    }
    if (request == DRM_IOCTL_WAIT_VBLANK) return kms_wait_vblank(f, static_cast<drmVBlank *>(arg));
    int rc = dispatch(f, request, arg);
    kms_unlock();
    return rc ? m1(rc) : 0;
}

// ---- read() on a card descriptor --------------------------------------------

// A DRM card descriptor delivers events (vblanks, page flips) through read(),
// which blocks until one is pending. The simulated card queues none, so a
// blocking read waits for good and a non-blocking one finds nothing, as on a
// real card when nothing was asked for.
extern "C" ssize_t __real_read(int fd, void *buf, size_t n);
extern "C" ssize_t __wrap_read(int fd, void *buf, size_t n) {
    const int saved = errno;
    bool card = false;
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0) {
        std::lock_guard<std::mutex> g(g_card_ids_lock);
        const std::pair<uint64_t, uint64_t> id{st.st_dev, st.st_ino};
        card = std::find(g_card_ids.begin(), g_card_ids.end(), id) != g_card_ids.end();
    }
    errno = saved;
    if (!card) return __real_read(fd, buf, n);
    if (fcntl(fd, F_GETFL) & O_NONBLOCK) return m1(EAGAIN);
    for (;;) pause();
}
