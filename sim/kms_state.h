#pragma once
// Internal state of the simulated display card, shared by sim/kms_*.cpp.
//
// One KmsCard per card of the board (created when first opened), one KmsFile per
// open() of it (client caps, GEM handles), buffer objects shared between files.
// Every entry point takes the card lock (KmsGuard) for its whole run, except
// drmWaitVBlank while it sleeps.
#include "sim/kms_board.h"

#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>
#include <xf86drm.h>
#include <xf86drmMode.h>

struct KmsFormatInfo {
    uint32_t fourcc;
    uint8_t planes;
    uint8_t cpp[3]; // bytes per pixel of each plane (per 2 pixels for packed YUYV-style: see yuyv)
    uint8_t hsub, vsub;
    bool yuv, alpha;
};

// Formats the card knows (framebuffer validation and composition); null if unknown.
const KmsFormatInfo *kms_format_info(uint32_t fourcc);

// A buffer object: a dumb buffer (own memfd) or an imported dma-buf.
struct KmsBo {
    uint64_t dev = 0, ino = 0; // identity of the backing file (imports of one file share a BO)
    int fd = -1;               // memfd, or a duplicate of the imported descriptor
    // The simulator's own mapping (read-only for imports): a dumb buffer's is
    // made with it, an import's on first read (kms_bo_bytes).
    mutable uint8_t *map = nullptr;
    size_t size = 0;
    bool dumb = false;
    bool gbm = false; // a GBM buffer object (sim/sim_gbm.cpp): created like a dumb buffer
    uint32_t width = 0, height = 0, bpp = 0, pitch = 0;
    uint64_t map_offset = 0; // fake mmap offset on the card fd; 0 until MAP_DUMB
    int import_fd = -1;      // descriptor number it was first imported from
    int refs = 0;            // GEM handles (any file) + framebuffer planes
};

struct KmsFile;

struct KmsFb {
    uint32_t id = 0, width = 0, height = 0, format = 0, flags = 0;
    uint64_t modifier = 0;
    uint32_t handles[4] = {}, pitches[4] = {}, offsets[4] = {};
    KmsBo *bo[4] = {};
    KmsFile *owner = nullptr;
};

struct KmsPlaneState {
    uint32_t crtc_id = 0, fb_id = 0;
    uint32_t src_x = 0, src_y = 0, src_w = 0, src_h = 0; // 16.16
    int32_t crtc_x = 0, crtc_y = 0;
    uint32_t crtc_w = 0, crtc_h = 0;
    uint64_t zpos = 0;
};

// Switches a plane off, keeping its stacking position.
inline void kms_plane_off(KmsPlaneState &s) {
    uint64_t z = s.zpos;
    s = KmsPlaneState();
    s.zpos = z;
}

struct KmsCrtcState {
    bool active = false;
    uint32_t mode_blob = 0; // 0 = no mode (CRTC disabled)
    drmModeModeInfo mode{};
};

struct KmsState {
    std::vector<KmsPlaneState> planes;
    std::vector<KmsCrtcState> crtcs;
    std::vector<uint32_t> conn_crtc; // CRTC id driven by each connector, 0 = none
};

enum class KmsPropKind {
    type,
    fb_id,
    crtc_id,
    src_x,
    src_y,
    src_w,
    src_h,
    crtc_x,
    crtc_y,
    crtc_w,
    crtc_h,
    zpos,
    in_formats,
    active,
    mode_id,
    conn_crtc_id,
    edid,
    dpms
};

struct KmsProp {
    uint32_t id = 0;
    KmsPropKind kind = KmsPropKind::type;
    std::string name;
    uint32_t flags = 0;
    std::vector<uint64_t> values; // range: min, max; object: object type; enum: values
    std::vector<std::string> enum_names;
};

struct KmsBlob {
    std::vector<uint8_t> data;
    KmsFile *owner = nullptr; // creating file; null for the driver's own blobs
    bool user_ref = false;    // the creating file still holds it
    bool driver_ref = false;  // EDID, IN_FORMATS: live as long as the card
};

enum class KmsObjType { crtc, plane, encoder, connector, property, fb, blob };

struct KmsCard {
    KmsCardDesc desc;
    size_t index = 0; // position in the board's card list
    std::vector<uint32_t> crtc_ids, plane_ids, encoder_ids, connector_ids;
    std::map<uint32_t, std::pair<KmsObjType, size_t>> objects; // static objects by id
    std::vector<KmsProp> props;
    std::vector<std::vector<size_t>> plane_props, crtc_props, conn_props; // indices into props
    std::vector<uint32_t> in_formats_blob;                                // per plane
    std::vector<uint32_t> edid_blob[2]; // per connector: monitor at start / after replug
    std::map<uint32_t, KmsBlob> blobs;
    std::map<uint32_t, KmsFb> fbs;
    std::vector<KmsBo *> bos;
    KmsState state;
    KmsFile *master = nullptr;
    uint32_t next_id = 0; // first id after the card's own objects
    uint64_t next_map_offset = 0;
    std::vector<int64_t> vb_epoch_ns; // per CRTC: time of vblank number vb_base
    std::vector<uint64_t> vb_base;
    std::vector<int64_t> busy_until_ns; // per CRTC: a non-blocking commit lands then
};

struct KmsFile {
    KmsCard *card = nullptr;
    uint64_t dev = 0, ino = 0;
    bool universal = false, atomic = false;
    std::map<uint32_t, KmsBo *> handles;
    uint32_t next_handle = 1;
};

// ---- sim/kms_card.cpp: registry, objects, queries --------------------------
void kms_lock();
void kms_unlock();
struct KmsGuard {
    KmsGuard() { kms_lock(); }
    ~KmsGuard() { kms_unlock(); }
    KmsGuard(const KmsGuard &) = delete;
    KmsGuard &operator=(const KmsGuard &) = delete;
};

int64_t kms_now_ns();      // CLOCK_MONOTONIC
int64_t kms_board_ms();    // the board's timeline: ms since the board was loaded (+ advances)
KmsFile *kms_file(int fd); // null with errno EBADF/ENOTTY when fd is no open card
const std::vector<KmsCard *> &kms_cards();
// Id for a new framebuffer or blob: the lowest free one, as the kernel's idr gives.
uint32_t kms_alloc_id(KmsCard &c);
bool kms_lookup_obj(const KmsCard &c, uint32_t id, KmsObjType *type, size_t *index);
int kms_primary_plane(const KmsCard &c, size_t crtc);   // plane index or -1
int kms_crtc_index(const KmsCard &c, uint32_t crtc_id); // -1 if not a CRTC
void kms_connector_now(const KmsCard &c, size_t conn, bool *connected,
                       const std::vector<drmModeModeInfo> **modes, int *which_list);
uint64_t kms_prop_value(const KmsCard &c, KmsObjType type, size_t index, const KmsProp &p);
KmsFb *kms_fb(KmsCard &c, uint32_t id);
void kms_blob_gc(KmsCard &c);
void kms_fb_destroy(KmsCard &c, uint32_t fb_id); // disables what scans it out, then frees it

// ---- sim/kms_modeset.cpp: validation and commits ---------------------------
// Validates `next` against the card's current state and, unless test_only,
// makes it current. Returns 0 or an errno value.
// Checks `next` against the card's rules and, unless `test_only`, applies it.
// 0 or an errno. With blocking commits on (kms_slow.h), a commit that changes a
// framebuffer on an active CRTC lands at that CRTC's next vblank: the time is
// left in kms_commit_land_ns for the caller to wait for once the card lock is
// released; a `nonblock` commit does not wait, but fails with EBUSY while an
// earlier one on the same CRTC has not landed.
int kms_commit(KmsCard &c, KmsState &next, bool allow_modeset, bool test_only,
               bool nonblock = false);
extern thread_local int64_t kms_commit_land_ns;
// Makes `next` current without validation (logging the planes that changed);
// `next` is left holding the previous state.
void kms_apply(KmsCard &c, KmsState &next);
// Sets one property of one object in `next`; returns 0 or an errno value.
int kms_set_prop(KmsCard &c, KmsState &next, uint32_t obj_id, uint32_t prop_id, uint64_t value);
// Waits for a vblank as DRM_IOCTL_WAIT_VBLANK does. Called with the lock held;
// returns with it released: 0, or -1 with errno.
int kms_wait_vblank(KmsFile *f, drmVBlank *vbl);
// Resolves an mmap of a card fd to the buffer object's own file: 1 (with a
// duplicate descriptor the caller closes), 0 when fd is no card, -1 with errno.
int kms_mmap_resolve(int fd, off_t off, size_t len, int *bo_fd, off_t *bo_off);
// Creates a GBM buffer object on the card file `fd`: a dumb buffer of `bpp`
// bits per pixel marked as GBM's, with a handle on that file. 0 or an errno value.
int kms_create_gbm_bo(int fd, uint32_t width, uint32_t height, uint32_t bpp, uint32_t *handle,
                      uint32_t *pitch, uint64_t *size);

// The buffer's bytes as the card reads them (a stamp, a screenshot). An
// imported buffer is mapped on the first read, not at import: a card that is
// never asked to look at a picture costs the program no mapping per frame.
// Null when it cannot be mapped. Called with the card lock held.
const uint8_t *kms_bo_bytes(const KmsBo *bo);

// mmap without the program's mapping count (sim/kms_mmap.cpp): for the
// simulator's own mappings of its buffers.
void *kms_own_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off);

// BT.601 limited range in integer arithmetic, as the card shows YUV: R, G, B.
inline void kms_yuv_rgb(int y, int u, int v, uint8_t rgb[3]) {
    const int yc = y - 16, uc = u - 128, vc = v - 128;
    auto c8 = [](int x) { return static_cast<uint8_t>(x < 0 ? 0 : x > 255 ? 255 : x); };
    rgb[0] = c8((298 * yc + 409 * vc + 128) >> 8);
    rgb[1] = c8((298 * yc - 100 * uc - 208 * vc + 128) >> 8);
    rgb[2] = c8((298 * yc + 516 * uc + 128) >> 8);
}

// ---- sim/kms_compose.cpp: pictures, screenshots, update log ----------------
struct KmsLayer {
    const uint8_t *data[3]; // first byte of each plane
    uint32_t pitch[3];
    uint32_t format;
    bool linear;
    uint32_t src_x, src_y, src_w, src_h; // 16.16, inside the buffer
    int32_t dst_x, dst_y;
    uint32_t dst_w, dst_h;
};
// Composes the layers (bottom first) onto an opaque black w x h RGB canvas.
void kms_compose(uint8_t *rgb, uint32_t w, uint32_t h, const KmsLayer *layers, size_t n);
// Encodes an RGB picture as a PNG (stored deflate blocks).
void kms_png_encode(const uint8_t *rgb, uint32_t w, uint32_t h, std::vector<uint8_t> *out);
// The picture of one CRTC as currently scanned out; -1 when the CRTC is inactive.
int kms_compose_crtc(const KmsCard &c, size_t crtc, std::vector<uint8_t> *rgb, uint32_t *w,
                     uint32_t *h);
// Name of the output a CRTC drives: its first connector, else "crtc-N".
std::string kms_output_name(const KmsCard &c, size_t crtc);
// Writes the update-log line of a plane whose state changed (VEX_SIM_UPDATE_LOG).
void kms_log_plane(const KmsCard &c, size_t plane, const KmsPlaneState &old_state);
// Ends the update log (the process is ending).
void kms_log_stop();
// Honours a "<run dir>/screenshot" request when one is present.
void kms_screenshot_poll();
// Writes screen-<output>.png into the run directory for the outputs named by
// `which` (a connector name, or "all"); returns how many were written.
int kms_screenshot_write(const char *which);
