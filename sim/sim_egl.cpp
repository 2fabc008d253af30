// EGL on the simulated board. The program calls EGL and GLES by their own
// names and Mesa's real surfaceless EGL with its software GLES 2 (llvmpipe)
// does every draw; only what this machine lacks is stood in for here, through
// link-time wrapping (sim/CMakeLists.txt):
// - eglGetProcAddress hands out the simulator's eglGetPlatformDisplay(EXT),
//   eglCreateImageKHR, eglDestroyImageKHR and glEGLImageTargetTexture2DOES;
// - the GBM platform display (eglGetPlatformDisplay with EGL_PLATFORM_GBM_KHR,
//   or eglGetDisplay, on a simulated GBM device) is Mesa's surfaceless display;
// - dma-buf import (EGL_LINUX_DMA_BUF_EXT): a YUV frame is converted on the
//   CPU with the card's own BT.601 arithmetic into an RGB texture, an RGB
//   buffer becomes an RGBA texture; either is handed back as a real EGLImage
//   of that texture. A picture drawn into an RGB buffer's texture is written
//   back into the buffer's memory when glFinish returns, so the card scans out
//   exactly what GL drew;
// - eglCreateContext and eglGetError, for the fault knobs and the import errors.
#include "sim/kms_state.h"
#include "sim/sim_env.h"
#include "sim/sim_gpu.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <GLES2/gl2ext.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <drm_fourcc.h>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <vector>

extern "C" {
__eglMustCastToProperFunctionPointerType __real_eglGetProcAddress(const char *name);
EGLDisplay __real_eglGetDisplay(EGLNativeDisplayType native);
EGLContext __real_eglCreateContext(EGLDisplay dpy, EGLConfig config, EGLContext share,
                                   const EGLint *attrs);
EGLint __real_eglGetError(void);
void __real_glFinish(void);
}

namespace {

// An imported RGB buffer whose texture receives drawn pictures.
struct RgbImage {
    uint8_t *map = nullptr; // the whole buffer, read-write
    size_t map_size = 0;
    uint32_t offset = 0, pitch = 0, width = 0, height = 0, fourcc = 0;
};

std::mutex &g_lock = *new std::mutex;
std::map<EGLImageKHR, RgbImage> &g_rgb_images = *new std::map<EGLImageKHR, RgbImage>;
std::map<GLuint, EGLImageKHR> &g_tex_images = *new std::map<GLuint, EGLImageKHR>;
std::atomic<long long> g_imports{0}, g_conversions{0}, g_conversion_ns{0}, g_writebacks{0},
    g_writeback_ns{0}, g_frame_imports{0};
thread_local EGLint t_error = EGL_SUCCESS;

PFNEGLGETPLATFORMDISPLAYEXTPROC real_get_platform_display() {
    static auto p = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
        __real_eglGetProcAddress("eglGetPlatformDisplayEXT"));
    return p;
}
PFNEGLCREATEIMAGEKHRPROC real_create_image() {
    static auto p =
        reinterpret_cast<PFNEGLCREATEIMAGEKHRPROC>(__real_eglGetProcAddress("eglCreateImageKHR"));
    return p;
}
PFNEGLDESTROYIMAGEKHRPROC real_destroy_image() {
    static auto p =
        reinterpret_cast<PFNEGLDESTROYIMAGEKHRPROC>(__real_eglGetProcAddress("eglDestroyImageKHR"));
    return p;
}
PFNGLEGLIMAGETARGETTEXTURE2DOESPROC real_image_target() {
    static auto p = reinterpret_cast<PFNGLEGLIMAGETARGETTEXTURE2DOESPROC>(
        __real_eglGetProcAddress("glEGLImageTargetTexture2DOES"));
    return p;
}

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

EGLImageKHR fail(EGLint e) {
    t_error = e;
    return EGL_NO_IMAGE_KHR;
}

EGLDisplay surfaceless_display() {
    // The software renderer even where the machine has a GPU: the same
    // pictures everywhere, and Mesa never opens a real DRM device here.
    setenv("LIBGL_ALWAYS_SOFTWARE", "1", 0);
    auto get = real_get_platform_display();
    if (!get) return EGL_NO_DISPLAY;
    return get(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
}

EGLDisplay EGLAPIENTRY sim_get_platform_display(EGLenum platform, void *native,
                                                const EGLint *attrs) {
    if (platform == EGL_PLATFORM_GBM_KHR) {
        if (!sim_gbm_is_device(native)) {
            t_error = EGL_BAD_PARAMETER;
            return EGL_NO_DISPLAY;
        }
        return surfaceless_display();
    }
    auto get = real_get_platform_display();
    return get ? get(platform, native, attrs) : EGL_NO_DISPLAY;
}

EGLDisplay EGLAPIENTRY sim_get_platform_display_khr(EGLenum platform, void *native,
                                                    const EGLAttrib *attrs) {
    std::vector<EGLint> a;
    for (const EGLAttrib *p = attrs; p && *p != EGL_NONE; p += 2) {
        a.push_back((EGLint)p[0]);
        a.push_back((EGLint)p[1]);
    }
    a.push_back(EGL_NONE);
    return sim_get_platform_display(platform, native, a.data());
}

// One dma-buf plane as the attribute list gives it.
struct PlaneAttr {
    EGLint fd = -1, offset = -1, pitch = -1, mod_lo = -1, mod_hi = -1;
    bool given = false;
};

struct ImportFormat {
    uint32_t fourcc;
    int planes;
    bool yuv;
};
constexpr ImportFormat import_formats[] = {
    {DRM_FORMAT_NV12, 2, true},      {DRM_FORMAT_XRGB8888, 1, false},
    {DRM_FORMAT_ARGB8888, 1, false}, {DRM_FORMAT_XBGR8888, 1, false},
    {DRM_FORMAT_ABGR8888, 1, false},
};

// Maps the buffer behind `fd` whole; null when it is no mappable buffer.
uint8_t *map_buffer(int fd, int prot, size_t *size) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size <= 0) return nullptr;
    void *p = kms_own_mmap(nullptr, (size_t)st.st_size, prot, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return nullptr;
    *size = (size_t)st.st_size;
    return static_cast<uint8_t *>(p);
}

// The texture the image is made of, created in the current context with the
// caller's texture binding and unpack alignment left as they were.
GLuint make_texture(GLenum format, GLsizei w, GLsizei h, const void *pixels) {
    GLint bound = 0, align = 4;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    glGetIntegerv(GL_UNPACK_ALIGNMENT, &align);
    GLuint tex = 0;
    glGenTextures(1, &tex);
    glBindTexture(GL_TEXTURE_2D, tex);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, (GLint)format, w, h, 0, format, GL_UNSIGNED_BYTE, pixels);
    glPixelStorei(GL_UNPACK_ALIGNMENT, align);
    glBindTexture(GL_TEXTURE_2D, (GLuint)bound);
    return tex;
}

// Byte positions of R, G, B, A in a 32-bit RGB pixel of `fourcc`.
void rgb_order(uint32_t fourcc, int *r, int *g, int *b, int *a) {
    const bool bgr = fourcc == DRM_FORMAT_XRGB8888 || fourcc == DRM_FORMAT_ARGB8888;
    *r = bgr ? 2 : 0, *g = 1, *b = bgr ? 0 : 2, *a = 3;
}

EGLImageKHR EGLAPIENTRY sim_create_image(EGLDisplay dpy, EGLContext ctx, EGLenum target,
                                         EGLClientBuffer buffer, const EGLint *attrs) {
    if (target != EGL_LINUX_DMA_BUF_EXT)
        return real_create_image()(dpy, ctx, target, buffer, attrs);
    if (ctx != EGL_NO_CONTEXT || buffer) return fail(EGL_BAD_PARAMETER);
    EGLint w = -1, h = -1, fourcc = -1;
    PlaneAttr pl[3];
    for (const EGLint *a = attrs; a && a[0] != EGL_NONE; a += 2) {
        const EGLint k = a[0], v = a[1];
        int p = -1;
        EGLint *field = nullptr;
        switch (k) {
            case EGL_WIDTH:
                w = v;
                continue;
            case EGL_HEIGHT:
                h = v;
                continue;
            case EGL_LINUX_DRM_FOURCC_EXT:
                fourcc = v;
                continue;
            case EGL_YUV_COLOR_SPACE_HINT_EXT:
            case EGL_SAMPLE_RANGE_HINT_EXT:
            case EGL_YUV_CHROMA_HORIZONTAL_SITING_HINT_EXT:
            case EGL_YUV_CHROMA_VERTICAL_SITING_HINT_EXT:
                continue;
            case EGL_DMA_BUF_PLANE0_FD_EXT:
                p = 0, field = &pl[0].fd;
                break;
            case EGL_DMA_BUF_PLANE0_OFFSET_EXT:
                p = 0, field = &pl[0].offset;
                break;
            case EGL_DMA_BUF_PLANE0_PITCH_EXT:
                p = 0, field = &pl[0].pitch;
                break;
            case EGL_DMA_BUF_PLANE0_MODIFIER_LO_EXT:
                p = 0, field = &pl[0].mod_lo;
                break;
            case EGL_DMA_BUF_PLANE0_MODIFIER_HI_EXT:
                p = 0, field = &pl[0].mod_hi;
                break;
            case EGL_DMA_BUF_PLANE1_FD_EXT:
                p = 1, field = &pl[1].fd;
                break;
            case EGL_DMA_BUF_PLANE1_OFFSET_EXT:
                p = 1, field = &pl[1].offset;
                break;
            case EGL_DMA_BUF_PLANE1_PITCH_EXT:
                p = 1, field = &pl[1].pitch;
                break;
            case EGL_DMA_BUF_PLANE1_MODIFIER_LO_EXT:
                p = 1, field = &pl[1].mod_lo;
                break;
            case EGL_DMA_BUF_PLANE1_MODIFIER_HI_EXT:
                p = 1, field = &pl[1].mod_hi;
                break;
            case EGL_DMA_BUF_PLANE2_FD_EXT:
                p = 2, field = &pl[2].fd;
                break;
            case EGL_DMA_BUF_PLANE2_OFFSET_EXT:
                p = 2, field = &pl[2].offset;
                break;
            case EGL_DMA_BUF_PLANE2_PITCH_EXT:
                p = 2, field = &pl[2].pitch;
                break;
            case EGL_DMA_BUF_PLANE2_MODIFIER_LO_EXT:
                p = 2, field = &pl[2].mod_lo;
                break;
            case EGL_DMA_BUF_PLANE2_MODIFIER_HI_EXT:
                p = 2, field = &pl[2].mod_hi;
                break;
            default:
                return fail(EGL_BAD_PARAMETER);
        }
        *field = v;
        pl[p].given = true;
    }
    if (w <= 0 || h <= 0 || fourcc == -1) return fail(EGL_BAD_PARAMETER);
    const ImportFormat *fmt = nullptr;
    for (const ImportFormat &f : import_formats)
        if (f.fourcc == (uint32_t)fourcc) fmt = &f;
    if (!fmt) return fail(EGL_BAD_MATCH);
    for (int p = 0; p < 3; p++) {
        if (p >= fmt->planes) {
            if (pl[p].given) return fail(EGL_BAD_ATTRIBUTE);
            continue;
        }
        if (pl[p].fd < 0 || pl[p].offset < 0 || pl[p].pitch < 0) return fail(EGL_BAD_PARAMETER);
        if ((pl[p].mod_lo == -1) != (pl[p].mod_hi == -1)) return fail(EGL_BAD_PARAMETER);
        // Only linear buffers: the simulated decoder and GBM make no others.
        if (pl[p].mod_lo > 0 || pl[p].mod_hi > 0) return fail(EGL_BAD_MATCH);
        const uint64_t cpp = fmt->yuv ? (p ? 2 : 1) : 4;
        const uint64_t pw = fmt->yuv && p ? (uint64_t(w) + 1) / 2 : uint64_t(w);
        if ((uint64_t)pl[p].pitch < pw * cpp) return fail(EGL_BAD_MATCH);
    }
    if (fmt->yuv && sim_knob_lists("VEX_SIM_EGL_IMPORT_FAIL", ++g_frame_imports))
        return fail(EGL_BAD_ALLOC);
    // The conversion needs a GL context; the program always has one current.
    EGLContext cur = eglGetCurrentContext();
    if (cur == EGL_NO_CONTEXT) return fail(EGL_BAD_MATCH);

    struct Mapped {
        uint8_t *p = nullptr;
        size_t size = 0;
    } maps[2];
    auto unmap_all = [&maps]() {
        for (Mapped &m : maps)
            if (m.p) munmap(m.p, m.size);
    };
    const int prot = fmt->yuv ? PROT_READ : PROT_READ | PROT_WRITE;
    for (int p = 0; p < fmt->planes; p++) {
        maps[p].p = map_buffer(pl[p].fd, prot, &maps[p].size);
        if (!maps[p].p) {
            unmap_all();
            return fail(EGL_BAD_PARAMETER);
        }
        const uint64_t rows = fmt->yuv && p ? (uint64_t(h) + 1) / 2 : uint64_t(h);
        if (uint64_t(pl[p].offset) + uint64_t(pl[p].pitch) * rows > maps[p].size) {
            unmap_all();
            return fail(EGL_BAD_ACCESS);
        }
    }

    GLuint tex = 0;
    RgbImage rgb_image;
    if (fmt->yuv) {
        const int64_t t0 = now_ns();
        const uint8_t *luma = maps[0].p + pl[0].offset, *chroma = maps[1].p + pl[1].offset;
        std::vector<uint8_t> rgb((size_t)w * h * 3);
        for (EGLint y = 0; y < h; y++) {
            const uint8_t *yr = luma + (size_t)y * pl[0].pitch;
            const uint8_t *cr = chroma + (size_t)(y / 2) * pl[1].pitch;
            uint8_t *o = rgb.data() + (size_t)y * w * 3;
            for (EGLint x = 0; x < w; x++, o += 3) kms_yuv_rgb(yr[x], cr[x & ~1], cr[x | 1], o);
        }
        tex = make_texture(GL_RGB, w, h, rgb.data());
        unmap_all();
        g_conversions++;
        g_conversion_ns += now_ns() - t0;
    } else {
        // The buffer's present contents, as RGBA.
        int r, g, b, a;
        rgb_order(fmt->fourcc, &r, &g, &b, &a);
        const bool alpha = fmt->fourcc == DRM_FORMAT_ARGB8888 || fmt->fourcc == DRM_FORMAT_ABGR8888;
        std::vector<uint8_t> px((size_t)w * h * 4);
        for (EGLint y = 0; y < h; y++) {
            const uint8_t *s = maps[0].p + pl[0].offset + (size_t)y * pl[0].pitch;
            uint8_t *d = px.data() + (size_t)y * w * 4;
            for (EGLint x = 0; x < w; x++, s += 4, d += 4)
                d[0] = s[r], d[1] = s[g], d[2] = s[b], d[3] = alpha ? s[a] : 255;
        }
        tex = make_texture(GL_RGBA, w, h, px.data());
        rgb_image.map = maps[0].p;
        rgb_image.map_size = maps[0].size;
        rgb_image.offset = (uint32_t)pl[0].offset;
        rgb_image.pitch = (uint32_t)pl[0].pitch;
        rgb_image.width = (uint32_t)w;
        rgb_image.height = (uint32_t)h;
        rgb_image.fourcc = fmt->fourcc;
    }
    const EGLint tex_attrs[] = {EGL_GL_TEXTURE_LEVEL_KHR, 0, EGL_NONE};
    EGLImageKHR img = real_create_image()(dpy, cur, EGL_GL_TEXTURE_2D_KHR,
                                          (EGLClientBuffer)(uintptr_t)tex, tex_attrs);
    // The image keeps the texture's storage; the name is not needed.
    glDeleteTextures(1, &tex);
    if (img == EGL_NO_IMAGE_KHR) {
        if (rgb_image.map) munmap(rgb_image.map, rgb_image.map_size);
        return fail(EGL_BAD_ALLOC);
    }
    g_imports++;
    if (rgb_image.map) {
        std::lock_guard<std::mutex> lk(g_lock);
        g_rgb_images[img] = rgb_image;
    }
    return img;
}

EGLBoolean EGLAPIENTRY sim_destroy_image(EGLDisplay dpy, EGLImageKHR img) {
    {
        std::lock_guard<std::mutex> lk(g_lock);
        auto it = g_rgb_images.find(img);
        if (it != g_rgb_images.end()) {
            munmap(it->second.map, it->second.map_size);
            g_rgb_images.erase(it);
            for (auto t = g_tex_images.begin(); t != g_tex_images.end();)
                t = t->second == img ? g_tex_images.erase(t) : std::next(t);
        }
    }
    return real_destroy_image()(dpy, img);
}

void GL_APIENTRY sim_image_target_texture(GLenum target, GLeglImageOES img) {
    real_image_target()(target, img);
    if (target != GL_TEXTURE_2D) return;
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    std::lock_guard<std::mutex> lk(g_lock);
    if (g_rgb_images.count(img))
        g_tex_images[(GLuint)bound] = img;
    else
        g_tex_images.erase((GLuint)bound);
}

// After glFinish: the picture of the bound framebuffer goes into the buffer
// its colour attachment was imported from, if it was imported from one.
void write_back() {
    GLint fbo = 0, type = 0, name = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &fbo);
    if (!fbo) return;
    glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                          GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE, &type);
    if (type != GL_TEXTURE) return;
    glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                          GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME, &name);
    RgbImage im;
    {
        std::lock_guard<std::mutex> lk(g_lock);
        auto t = g_tex_images.find((GLuint)name);
        if (t == g_tex_images.end()) return;
        im = g_rgb_images[t->second];
    }
    const int64_t t0 = now_ns();
    GLint pack = 4;
    glGetIntegerv(GL_PACK_ALIGNMENT, &pack);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    const size_t row = (size_t)im.width * 4;
    uint8_t *base = im.map + im.offset;
    std::vector<uint8_t> tmp;
    uint8_t *dst = base;
    if (im.pitch != row) {
        tmp.resize(row * im.height);
        dst = tmp.data();
    }
    glReadPixels(0, 0, (GLsizei)im.width, (GLsizei)im.height, GL_RGBA, GL_UNSIGNED_BYTE, dst);
    glPixelStorei(GL_PACK_ALIGNMENT, pack);
    int r, g, b, a;
    rgb_order(im.fourcc, &r, &g, &b, &a);
    for (uint32_t y = 0; y < im.height; y++) {
        const uint8_t *s = dst + (size_t)y * row;
        uint8_t *d = base + (size_t)y * im.pitch;
        for (uint32_t x = 0; x < im.width; x++, s += 4, d += 4) {
            const uint8_t R = s[0], G = s[1], B = s[2], A = s[3];
            d[r] = R, d[g] = G, d[b] = B, d[a] = A;
        }
    }
    g_writebacks++;
    g_writeback_ns += now_ns() - t0;
}

} // namespace

SimGpuStats sim_gpu_stats() {
    SimGpuStats s;
    s.imports = g_imports;
    s.frame_imports = g_frame_imports;
    s.conversions = g_conversions;
    s.conversion_ns = g_conversion_ns;
    s.writebacks = g_writebacks;
    s.writeback_ns = g_writeback_ns;
    return s;
}

extern "C" {

__eglMustCastToProperFunctionPointerType __wrap_eglGetProcAddress(const char *name) {
    using Fn = __eglMustCastToProperFunctionPointerType;
    if (name) {
        if (!strcmp(name, "eglGetPlatformDisplayEXT"))
            return reinterpret_cast<Fn>(sim_get_platform_display);
        if (!strcmp(name, "eglGetPlatformDisplay"))
            return reinterpret_cast<Fn>(sim_get_platform_display_khr);
        if (!strcmp(name, "eglCreateImageKHR")) return reinterpret_cast<Fn>(sim_create_image);
        if (!strcmp(name, "eglDestroyImageKHR")) return reinterpret_cast<Fn>(sim_destroy_image);
        if (!strcmp(name, "glEGLImageTargetTexture2DOES"))
            return reinterpret_cast<Fn>(sim_image_target_texture);
    }
    return __real_eglGetProcAddress(name);
}

EGLDisplay __wrap_eglGetDisplay(EGLNativeDisplayType native) {
    if (sim_gbm_is_device((const void *)native)) return surfaceless_display();
    return __real_eglGetDisplay(native);
}

EGLContext __wrap_eglCreateContext(EGLDisplay dpy, EGLConfig config, EGLContext share,
                                   const EGLint *attrs) {
    const char *v = getenv("VEX_SIM_EGL_CONTEXT_FAIL");
    if (v && v[0] == '1') {
        t_error = EGL_BAD_ALLOC;
        return EGL_NO_CONTEXT;
    }
    return __real_eglCreateContext(dpy, config, share, attrs);
}

EGLint __wrap_eglGetError(void) {
    const EGLint real = __real_eglGetError();
    const EGLint e = t_error;
    t_error = EGL_SUCCESS;
    return e != EGL_SUCCESS ? e : real;
}

void __wrap_glFinish(void) {
    __real_glFinish();
    bool any;
    {
        std::lock_guard<std::mutex> lk(g_lock);
        any = !g_tex_images.empty();
    }
    if (any) write_back();
}

} // extern "C"
