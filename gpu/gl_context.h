#pragma once
// The GPU context and render ring: the EGL display on a GBM device of the
// display card, a surfaceless OpenGL ES 2 context, the shader program and a
// ring of four GBM buffers that are render targets and scan-out buffers at
// once. Set up lazily by the first frame that wants the GPU pass, rebuilt when
// the source size changes. Everything here runs on the presentation thread,
// which alone has the EGL context current.
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <GLES2/gl2ext.h>

#include <array>
#include <cstdint>

struct gbm_device;
struct gbm_bo;

// 0 = not yet tried, 1 = ready, -1 = disabled for the rest of the process.
extern int g_gl_ready;
// Render size: the size of every ring buffer and of the picture drawn.
extern int g_gl_w, g_gl_h;
extern gbm_device *g_gbm;
extern EGLDisplay g_egl;
extern PFNEGLCREATEIMAGEKHRPROC g_egl_create_image;
extern PFNEGLDESTROYIMAGEKHRPROC g_egl_destroy_image;
extern PFNGLEGLIMAGETARGETTEXTURE2DOESPROC g_gl_image_target_texture;

// The program, its "aPos" attribute (location 0) and its uniforms, looked up
// in this order.
enum GlUniform {
    u_k,
    u_center,
    u_strength,
    u_zoom,
    u_vscale,
    u_antiflicker,
    u_texel_y,
    u_bright,
    u_contrast,
    u_sat,
    u_temp,
    u_lut,
    u_lut_on,
    u_lut_mix,
    u_lut_n,
    u_flip,
    u_tex,
    gl_uniform_count
};
extern GLuint g_prog;
extern GLint g_a_pos;
extern GLint g_uniforms[gl_uniform_count];
// The source texture (re-bound to each frame's external image) and the LUT atlas.
extern GLuint g_src_tex, g_lut_tex;

struct GlRingSlot {
    gbm_bo *bo = nullptr;
    EGLImageKHR image = EGL_NO_IMAGE_KHR;
    GLuint tex = 0;
    GLuint fbo = 0;
};
constexpr int gl_ring_depth = 4;
extern std::array<GlRingSlot, gl_ring_depth> g_glring;
// The slot the next frame is drawn into; 0 after every (re)build.
extern int g_glring_idx;

// The render size for a source of sw x sh and the value of VEX_KMS_GL_SIZE
// (null or empty: the source size). `kind` says what to log: the size was
// kept, reduced, or the value was ignored (out of range or unparsable).
struct RenderSize {
    int w = 0, h = 0;
    enum Kind { source, reduced, ignored } kind = source;
};
RenderSize render_size_for(const char *value, int sw, int sh);
// Sets g_gl_w x g_gl_h for a source of sw x sh from VEX_KMS_GL_SIZE, logging
// a reduced size or an ignored value.
void gl_render_size(int sw, int sh);

// Builds the four ring slots at w x h: 0, or -1 on the first failure (logged;
// the slots built so far stay).
int gl_ring_create(int w, int h);

// Compiles one shader: its name, or 0 (the info log is logged).
GLuint gl_compile(GLenum type, const char *src);

// Makes the pass ready to draw a frame of w x h: the set-up on the first
// call, a ring rebuild when the source size changed. true when the frame can
// be drawn; false when it is to be shown uncorrected (the pass is then
// disabled for good, with its messages logged).
bool gl_ready_for(int w, int h);

// Hands the slot just drawn on: refreshes the GPU output descriptor and
// returns a new DRM framebuffer of the slot, or 0 when none can be made.
uint32_t gl_hand_off(int slot);
