#include "gpu/gl_pass.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "core/config.h"
#include "core/live_tuning.h"
#include "core/log.h"
#include "gpu/gl_context.h"
#include "gpu/encode_tee.h"
#include "gpu/gl_shaders.h"
#include "gpu/gpu_pass.h"
#include "gpu/lut.h"
#include "overlay/osd.h"
#include "spi/spi_tee.h"

extern "C" {
#include <libavutil/hwcontext_drm.h>
}

int g_lut_on;

namespace {

constexpr GLfloat fullscreen_triangle[] = {-1.0f, -1.0f, 3.0f, -1.0f, -1.0f, 3.0f};

constexpr EGLint plane_fd[3] = {EGL_DMA_BUF_PLANE0_FD_EXT, EGL_DMA_BUF_PLANE1_FD_EXT,
                                EGL_DMA_BUF_PLANE2_FD_EXT};
constexpr EGLint plane_offset[3] = {EGL_DMA_BUF_PLANE0_OFFSET_EXT, EGL_DMA_BUF_PLANE1_OFFSET_EXT,
                                    EGL_DMA_BUF_PLANE2_OFFSET_EXT};
constexpr EGLint plane_pitch[3] = {EGL_DMA_BUF_PLANE0_PITCH_EXT, EGL_DMA_BUF_PLANE1_PITCH_EXT,
                                   EGL_DMA_BUF_PLANE2_PITCH_EXT};
constexpr EGLint plane_mod_lo[3] = {EGL_DMA_BUF_PLANE0_MODIFIER_LO_EXT,
                                    EGL_DMA_BUF_PLANE1_MODIFIER_LO_EXT,
                                    EGL_DMA_BUF_PLANE2_MODIFIER_LO_EXT};
constexpr EGLint plane_mod_hi[3] = {EGL_DMA_BUF_PLANE0_MODIFIER_HI_EXT,
                                    EGL_DMA_BUF_PLANE1_MODIFIER_HI_EXT,
                                    EGL_DMA_BUF_PLANE2_MODIFIER_HI_EXT};

bool import_warned;

// The SPI tee's render target: 0 not set up, 1 ready, -1 off for good.
int spi_fbo_state;
GLuint spi_tex, spi_fbo;

bool spi_copy_setup() {
    if (spi_fbo_state) return spi_fbo_state == 1;
    spi_fbo_state = -1;
    if (spi_tee_shm_init() != 0) return false;
    glGenTextures(1, &spi_tex);
    glBindTexture(GL_TEXTURE_2D, spi_tex);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, g_spi_tee_w, g_spi_tee_h, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                 nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glGenFramebuffers(1, &spi_fbo);
    glBindFramebuffer(GL_FRAMEBUFFER, spi_fbo);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, spi_tex, 0);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
        vlog("spi-tee: FBO incomplete — tee off");
        return false;
    }
    if (!spi_tee_live_start()) return false;
    spi_fbo_state = 1;
    return true;
}

// The SPI copy: the picture drawn again at panel size with the program,
// uniforms and source texture the main draw left bound, read back, the
// pop-up blended in, and queued for the SPI thread.
void spi_copy() {
    if (!spi_tee_enabled() || !spi_copy_setup() || !spi_tee_live_due()) return;
    uint8_t *px = nullptr;
    const int idx = spi_tee_live_take(&px);
    if (idx < 0) return;
    const int W = g_spi_tee_w, H = g_spi_tee_h;
    glBindFramebuffer(GL_FRAMEBUFFER, spi_fbo);
    if (g_spi_tee_fit) {
        glViewport(0, 0, W, H);
        glClearColor(0, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT);
    }
    const SpiViewport v = spi_tee_viewport(W, H, g_gl_w, g_gl_h, g_spi_tee_fit != 0);
    glViewport(v.x, v.y, v.w, v.h);
    glDrawArrays(GL_TRIANGLES, 0, 3);
    glReadPixels(0, 0, W, H, GL_RGBA, GL_UNSIGNED_BYTE, px);
    if (g_osd.active) {
        // The read-back comes top row first, as the ring buffers are laid out.
        PuTarget t{px, (uint32_t)W * 4, W, H, 1, 0};
        pu_blit(t, g_osd.level);
    }
    spi_tee_live_queue(idx);
}

void set_uniforms(const DewarpUniforms &u) {
    const GLint *l = g_uniforms;
    glUniform3f(l[u_k], u.k[0], u.k[1], u.k[2]);
    glUniform2f(l[u_center], u.center[0], u.center[1]);
    glUniform1f(l[u_strength], u.strength);
    glUniform1f(l[u_zoom], u.zoom);
    glUniform1f(l[u_vscale], u.vscale);
    glUniform1f(l[u_antiflicker], u.antiflicker);
    glUniform1f(l[u_texel_y], u.texel_y);
    glUniform1f(l[u_bright], u.bright);
    glUniform1f(l[u_contrast], u.contrast);
    glUniform1f(l[u_sat], u.sat);
    glUniform1f(l[u_temp], u.temp);
    glUniform1f(l[u_lut_on], u.lut_on);
    glUniform1f(l[u_lut_mix], u.lut_mix);
    glUniform1f(l[u_lut_n], u.lut_n);
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, g_lut_tex);
    glUniform1i(l[u_lut], 1);
    glUniform2f(l[u_flip], u.flip[0], u.flip[1]);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_EXTERNAL_OES, g_src_tex);
    glUniform1i(l[u_tex], 0);
}

} // namespace

int gl_next_slot(int next, int held) {
    return next == held ? (next + 1) % gl_ring_depth : next;
}

int dmabuf_import_attribs(const AVDRMFrameDescriptor *desc, int w, int h,
                          EGLint out[dmabuf_attrib_max]) {
    const AVDRMLayerDescriptor &layer = desc->layers[0];
    int n = 0;
    out[n++] = EGL_WIDTH;
    out[n++] = w;
    out[n++] = EGL_HEIGHT;
    out[n++] = h;
    out[n++] = EGL_LINUX_DRM_FOURCC_EXT;
    out[n++] = (EGLint)layer.format;
    for (int p = 0; p < layer.nb_planes && p < 3; p++) {
        const AVDRMPlaneDescriptor &pl = layer.planes[p];
        const AVDRMObjectDescriptor &obj = desc->objects[pl.object_index];
        out[n++] = plane_fd[p];
        out[n++] = obj.fd;
        out[n++] = plane_offset[p];
        out[n++] = (EGLint)(uint32_t)pl.offset;
        out[n++] = plane_pitch[p];
        out[n++] = (EGLint)(uint32_t)pl.pitch;
        if (obj.format_modifier) {
            out[n++] = plane_mod_lo[p];
            out[n++] = (EGLint)(uint32_t)(obj.format_modifier & 0xffffffffu);
            out[n++] = plane_mod_hi[p];
            out[n++] = (EGLint)(uint32_t)(obj.format_modifier >> 32);
        }
    }
    out[n++] = EGL_NONE;
    return n;
}

void gl_snapshot(int w, int h) {
    auto *px = static_cast<uint8_t *>(malloc((size_t)w * h * 4));
    if (!px) return;
    glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, px);
    FILE *f = fopen("/tmp/vex-snap.ppm", "wb");
    if (f) {
        fprintf(f, "P6\n%d %d\n255\n", w, h);
        for (size_t i = 0; i < (size_t)w * h; i++) fwrite(px + i * 4, 1, 3, f);
        fclose(f);
        vlog("snapshot -> /tmp/vex-snap.ppm (%dx%d)", w, h);
    }
    free(px);
}

bool gpu_pass_wanted() {
    return g_dewarp || g_colorgrade || g_antiflicker || g_rot_val != 0;
}

void gpu_render_size(int *w, int *h) {
    *w = g_gl_ready == 1 ? g_gl_w : 0;
    *h = g_gl_ready == 1 ? g_gl_h : 0;
}

void gpu_release_output() {
    if (g_gl_src_fd >= 0) close(g_gl_src_fd);
    g_gl_src_fd = -1;
}

uint32_t gl_dewarp_fb(const AVDRMFrameDescriptor *desc, int w, int h) {
    if (!gl_ready_for(w, h)) return 0;
    lut_check_fresh();

    EGLint attrs[dmabuf_attrib_max];
    dmabuf_import_attribs(desc, w, h, attrs);
    EGLImageKHR img =
        g_egl_create_image(g_egl, EGL_NO_CONTEXT, EGL_LINUX_DMA_BUF_EXT, nullptr, attrs);
    if (img == EGL_NO_IMAGE_KHR) {
        if (!import_warned) vlog("dewarp: import source dmabuf failed — uncorrected");
        import_warned = true;
        return 0;
    }
    glBindTexture(GL_TEXTURE_EXTERNAL_OES, g_src_tex);
    g_gl_image_target_texture(GL_TEXTURE_EXTERNAL_OES, img);
    glTexParameteri(GL_TEXTURE_EXTERNAL_OES, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_EXTERNAL_OES, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_EXTERNAL_OES, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_EXTERNAL_OES, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);

    const int slot = gl_next_slot(g_glring_idx, enc_ring_slot_held());
    g_glring_idx = (slot + 1) % gl_ring_depth;
    glBindFramebuffer(GL_FRAMEBUFFER, g_glring[(size_t)slot].fbo);
    glViewport(0, 0, g_gl_w, g_gl_h);
    glUseProgram(g_prog);
    set_uniforms(dewarp_uniforms(g_gl_h));
    glEnableVertexAttribArray((GLuint)g_a_pos);
    glVertexAttribPointer((GLuint)g_a_pos, 2, GL_FLOAT, GL_FALSE, 0, fullscreen_triangle);
    glDrawArrays(GL_TRIANGLES, 0, 3);
    glFinish();

    if (g_want_snap) gl_snapshot(g_gl_w, g_gl_h);
    spi_copy();
    g_egl_destroy_image(g_egl, img);
    enc_hand_off(slot, g_gl_w, g_gl_h);
    return gl_hand_off(slot);
}
