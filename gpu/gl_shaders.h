#pragma once
// The dewarp and colour-grade shaders and the per-frame uniform values.

extern const char *const gl_vertex_shader;
extern const char *const gl_fragment_shader;
// Uniform names in GlUniform order (gpu/gl_context.h).
extern const char *const gl_uniform_names[];

// The uniform values of one frame, from the current settings (lens, grade,
// anti-flicker, flip, LUT state) and the render height.
struct DewarpUniforms {
    float k[3], center[2], strength, zoom, vscale;
    float antiflicker, texel_y;
    float bright, contrast, sat, temp;
    float lut_on, lut_mix, lut_n;
    float flip[2];
};
DewarpUniforms dewarp_uniforms(int render_h);
