#include "gpu/gl_context.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <drm_fourcc.h>
#include <fcntl.h>
#include <gbm.h>
#include <unistd.h>
#include <xf86drmMode.h>

#include "core/config.h"
#include "core/env.h"
#include "core/log.h"
#include "display/output.h"
#include "gpu/encode_tee.h"
#include "gpu/gl_shaders.h"
#include "gpu/gpu_pass.h"
#include "gpu/lut.h"

int g_gl_ready;
int g_gl_w, g_gl_h;
gbm_device *g_gbm;
EGLDisplay g_egl = EGL_NO_DISPLAY;
PFNEGLCREATEIMAGEKHRPROC g_egl_create_image;
PFNEGLDESTROYIMAGEKHRPROC g_egl_destroy_image;
PFNGLEGLIMAGETARGETTEXTURE2DOESPROC g_gl_image_target_texture;
GLuint g_prog;
GLint g_a_pos;
GLint g_uniforms[gl_uniform_count];
GLuint g_src_tex, g_lut_tex;
std::array<GlRingSlot, gl_ring_depth> g_glring;
int g_glring_idx;
int g_gl_src_fd = -1;
int g_gl_src_w, g_gl_src_h, g_gl_src_ws;

namespace {

// The source geometry the pass was built for.
int src_w, src_h;

// Pins every GPU devfreq governor to "performance"; nodes that are missing or
// not writable are left as they are.
void pin_gpu_governor() {
    DIR *d = opendir("/sys/class/devfreq");
    if (!d) return;
    while (dirent *e = readdir(d)) {
        if (!strstr(e->d_name, "gpu")) continue;
        char path[256];
        snprintf(path, sizeof path, "/sys/class/devfreq/%.200s/governor", e->d_name);
        int fd = open(path, O_WRONLY | O_CLOEXEC);
        if (fd < 0) continue;
        if (write(fd, "performance", 11) > 0)
            vlog("dewarp: pinned %s governor to performance", e->d_name);
        close(fd);
    }
    closedir(d);
}

// Tears the ring down, slot by slot.
void ring_destroy() {
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    for (GlRingSlot &s : g_glring) {
        if (s.fbo) glDeleteFramebuffers(1, &s.fbo);
        if (s.tex) glDeleteTextures(1, &s.tex);
        if (s.image != EGL_NO_IMAGE_KHR) g_egl_destroy_image(g_egl, s.image);
        if (s.bo) gbm_bo_destroy(s.bo);
        s = GlRingSlot();
    }
}

// The steps of the set-up up to the ready message; false after the failing
// step's message.
bool setup(int w, int h) {
    src_w = w, src_h = h;
    gl_render_size(w, h);
    g_gbm = gbm_create_device(drm_fd);
    if (!g_gbm) {
        vlog("dewarp: gbm_create_device failed");
        return false;
    }
    auto get_platform_display = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
        eglGetProcAddress("eglGetPlatformDisplayEXT"));
    g_egl = get_platform_display ? get_platform_display(EGL_PLATFORM_GBM_KHR, g_gbm, nullptr)
                                 : eglGetDisplay((EGLNativeDisplayType)g_gbm);
    if (g_egl == EGL_NO_DISPLAY) {
        vlog("dewarp: eglGetDisplay failed");
        return false;
    }
    if (!eglInitialize(g_egl, nullptr, nullptr)) {
        vlog("dewarp: eglInitialize failed");
        return false;
    }
    if (!eglBindAPI(EGL_OPENGL_ES_API)) {
        vlog("dewarp: eglBindAPI failed");
        return false;
    }
    const EGLint ctx_attrs[] = {EGL_CONTEXT_CLIENT_VERSION, 2, EGL_NONE};
    EGLContext ctx = eglCreateContext(g_egl, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, ctx_attrs);
    if (ctx == EGL_NO_CONTEXT) {
        vlog("dewarp: eglCreateContext failed");
        return false;
    }
    if (!eglMakeCurrent(g_egl, EGL_NO_SURFACE, EGL_NO_SURFACE, ctx)) {
        vlog("dewarp: eglMakeCurrent failed");
        return false;
    }
    g_egl_create_image =
        reinterpret_cast<PFNEGLCREATEIMAGEKHRPROC>(eglGetProcAddress("eglCreateImageKHR"));
    g_egl_destroy_image =
        reinterpret_cast<PFNEGLDESTROYIMAGEKHRPROC>(eglGetProcAddress("eglDestroyImageKHR"));
    g_gl_image_target_texture = reinterpret_cast<PFNGLEGLIMAGETARGETTEXTURE2DOESPROC>(
        eglGetProcAddress("glEGLImageTargetTexture2DOES"));
    if (!g_egl_create_image || !g_egl_destroy_image || !g_gl_image_target_texture) {
        vlog("dewarp: missing EGL/GLES dmabuf-import entry points");
        return false;
    }
    GLuint vs = gl_compile(GL_VERTEX_SHADER, gl_vertex_shader);
    GLuint fs = gl_compile(GL_FRAGMENT_SHADER, gl_fragment_shader);
    if (!vs || !fs) return false;
    g_prog = glCreateProgram();
    glAttachShader(g_prog, vs);
    glAttachShader(g_prog, fs);
    glBindAttribLocation(g_prog, 0, "aPos");
    glLinkProgram(g_prog);
    GLint linked = 0;
    glGetProgramiv(g_prog, GL_LINK_STATUS, &linked);
    if (!linked) {
        vlog("dewarp: program link failed");
        return false;
    }
    g_a_pos = 0;
    for (int i = 0; i < gl_uniform_count; i++)
        g_uniforms[i] = glGetUniformLocation(g_prog, gl_uniform_names[i]);
    glGenTextures(1, &g_src_tex);
    if (gl_ring_create(g_gl_w, g_gl_h) != 0) return false;
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    pin_gpu_governor();
    return true;
}

} // namespace

RenderSize render_size_for(const char *value, int sw, int sh) {
    RenderSize r;
    r.w = sw, r.h = sh;
    if (!env_nonempty(value)) return r;
    int w = 0, h = 0;
    if (sscanf(value, "%dx%d", &w, &h) != 2) {
        w = 0;
        h = (int)parse_int_lenient(value);
        if (h > 0 && sh > 0) w = (int)((double)sw * h / sh + 0.5);
    }
    if (w < 320 || w > sw || h < 240 || h > sh) {
        r.kind = RenderSize::ignored;
        return r;
    }
    r.w = w / 16 * 16;
    r.h = h / 2 * 2;
    r.kind = RenderSize::reduced;
    return r;
}

void gl_render_size(int sw, int sh) {
    const char *v = env_get("VEX_KMS_GL_SIZE");
    RenderSize r = render_size_for(v, sw, sh);
    g_gl_w = r.w, g_gl_h = r.h;
    if (r.kind == RenderSize::ignored)
        vlog("VEX_KMS_GL_SIZE=%s ignored (want 320x240..%dx%d)", v, sw, sh);
    else if (r.kind == RenderSize::reduced)
        vlog("GL pass renders %dx%d (source %dx%d) — display scales up; ~%.2fx less GPU", r.w, r.h,
             sw, sh, (double)sw * sh / ((double)r.w * r.h));
}

int gl_ring_create(int w, int h) {
    for (GlRingSlot &s : g_glring) {
        s.bo = gbm_bo_create(g_gbm, (uint32_t)w, (uint32_t)h, GBM_FORMAT_XRGB8888,
                             GBM_BO_USE_SCANOUT | GBM_BO_USE_RENDERING);
        if (!s.bo) {
            vlog("dewarp: gbm_bo_create failed");
            return -1;
        }
        const int fd = gbm_bo_get_fd(s.bo);
        const EGLint stride = (EGLint)gbm_bo_get_stride(s.bo);
        const EGLint attrs[] = {EGL_WIDTH,
                                w,
                                EGL_HEIGHT,
                                h,
                                EGL_LINUX_DRM_FOURCC_EXT,
                                (EGLint)DRM_FORMAT_XRGB8888,
                                EGL_DMA_BUF_PLANE0_FD_EXT,
                                fd,
                                EGL_DMA_BUF_PLANE0_OFFSET_EXT,
                                0,
                                EGL_DMA_BUF_PLANE0_PITCH_EXT,
                                stride,
                                EGL_NONE};
        s.image = g_egl_create_image(g_egl, EGL_NO_CONTEXT, EGL_LINUX_DMA_BUF_EXT, nullptr, attrs);
        if (fd >= 0) close(fd);
        if (s.image == EGL_NO_IMAGE_KHR) {
            vlog("dewarp: export EGLImage failed");
            return -1;
        }
        glGenTextures(1, &s.tex);
        glBindTexture(GL_TEXTURE_2D, s.tex);
        g_gl_image_target_texture(GL_TEXTURE_2D, s.image);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glGenFramebuffers(1, &s.fbo);
        glBindFramebuffer(GL_FRAMEBUFFER, s.fbo);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, s.tex, 0);
        if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
            vlog("dewarp: FBO incomplete");
            return -1;
        }
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    g_glring_idx = 0;
    return 0;
}

GLuint gl_compile(GLenum type, const char *src) {
    GLuint s = glCreateShader(type);
    glShaderSource(s, 1, &src, nullptr);
    glCompileShader(s);
    GLint ok = 0;
    glGetShaderiv(s, GL_COMPILE_STATUS, &ok);
    if (!ok) {
        char info[512] = "";
        glGetShaderInfoLog(s, sizeof info, nullptr, info);
        vlog("GLES shader compile failed: %s", info);
        glDeleteShader(s);
        return 0;
    }
    return s;
}

bool gl_ready_for(int w, int h) {
    if (g_gl_ready < 0) return false;
    if (g_gl_ready == 0) {
        if (!setup(w, h)) {
            g_gl_ready = -1;
            vlog("dewarp disabled (GLES init failed) — showing uncorrected");
            return false;
        }
        g_gl_ready = 1;
        // The LUT atlas starts as one black texel; a configured LUT is loaded now.
        glGenTextures(1, &g_lut_tex);
        glBindTexture(GL_TEXTURE_2D, g_lut_tex);
        const uint8_t black[3] = {0, 0, 0};
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, 1, 1, 0, GL_RGB, GL_UNSIGNED_BYTE, black);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        if (g_lut_path[0] && lut_load() == 0) g_lut_on = 1;
        const char *renderer = (const char *)glGetString(GL_RENDERER);
        vlog("dewarp GPU pass ready (%dx%d, %s, ring x%d)", g_gl_w, g_gl_h,
             renderer ? renderer : "GLES", gl_ring_depth);
        enc_start(g_gl_w, g_gl_h);
        return true;
    }
    if (w == src_w && h == src_h) return true;
    vlog("source geometry changed %dx%d→%dx%d — re-initialising dewarp/encode", src_w, src_h, w, h);
    vlog_flush();
    enc_stop();
    ring_destroy();
    src_w = w, src_h = h;
    gl_render_size(w, h);
    if (gl_ring_create(g_gl_w, g_gl_h) != 0) {
        vlog("dewarp: ring rebuild failed — dewarp disabled, showing uncorrected");
        g_gl_ready = -1;
        return false;
    }
    enc_start(g_gl_w, g_gl_h);
    return true;
}

uint32_t gl_hand_off(int slot) {
    GlRingSlot &s = g_glring[(size_t)slot];
    if (g_gl_src_fd >= 0) close(g_gl_src_fd);
    g_gl_src_fd = gbm_bo_get_fd(s.bo);
    const uint32_t stride = gbm_bo_get_stride(s.bo);
    g_gl_src_w = g_gl_w;
    g_gl_src_h = g_gl_h;
    g_gl_src_ws = stride ? (int)(stride / 4) : g_gl_w;
    uint32_t handles[4] = {gbm_bo_get_handle(s.bo).u32}, pitches[4] = {stride}, offsets[4] = {};
    uint32_t fb = 0;
    if (drmModeAddFB2(drm_fd, (uint32_t)g_gl_w, (uint32_t)g_gl_h, DRM_FORMAT_XRGB8888, handles,
                      pitches, offsets, &fb, 0) != 0)
        return 0;
    return fb;
}
