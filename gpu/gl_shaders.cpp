#include "gpu/gl_shaders.h"

#include <cstring>

#include "core/config.h"
#include "gpu/gl_context.h"
#include "gpu/gpu_pass.h"
#include "gpu/lut.h"

// One full-screen triangle; vUV runs 0..1 across the target.
const char *const gl_vertex_shader = R"(
attribute vec2 aPos;
varying vec2 vUV;
void main() {
    vUV = aPos * 0.5 + 0.5;
    gl_Position = vec4(aPos, 0.0, 1.0);
}
)";

// Mirror, radial lens correction about uCenter (the vertical scale acts on
// the radius only), optional vertical 3-tap anti-flicker, colour grade, then
// the 3-D LUT from its 2-D atlas.
const char *const gl_fragment_shader = R"(
#extension GL_OES_EGL_image_external : require
precision highp float;
varying vec2 vUV;
uniform samplerExternalOES uTex;
uniform sampler2D uLut;
uniform vec3 uK;
uniform vec2 uCenter;
uniform float uStrength;
uniform float uZoom;
uniform float uVScale;
uniform float uAntiFlicker;
uniform float uTexelY;
uniform float uBright;
uniform float uContrast;
uniform float uSat;
uniform float uTemp;
uniform float uLutOn;
uniform float uLutMix;
uniform float uLutN;
uniform vec2 uFlip;

vec3 lut3(vec3 c) {
    float n = uLutN;
    float sliceSize = 1.0 / n;
    float slicePx = 1.0 / (n * n);
    float innerW = slicePx * (n - 1.0);
    float z = clamp(c.b, 0.0, 1.0) * (n - 1.0);
    float z0 = floor(z);
    float z1 = min(z0 + 1.0, n - 1.0);
    float xo = slicePx * 0.5 + clamp(c.r, 0.0, 1.0) * innerW;
    float v = (clamp(c.g, 0.0, 1.0) * (n - 1.0) + 0.5) / n;
    vec3 c0 = texture2D(uLut, vec2(xo + z0 * sliceSize, v)).rgb;
    vec3 c1 = texture2D(uLut, vec2(xo + z1 * sliceSize, v)).rgb;
    return mix(c0, c1, z - z0);
}

void main() {
    vec2 uv = vec2(0.5) + (vUV - vec2(0.5)) * uFlip;
    vec2 d = (uv - uCenter) / uZoom;
    vec2 dr = vec2(d.x, d.y * uVScale);
    float r2 = dot(dr, dr);
    float f = 1.0 + uK.x * r2 + uK.y * r2 * r2 + uK.z * r2 * r2 * r2;
    f = mix(1.0, f, uStrength);
    vec2 src = uCenter + d * f;
    vec4 col = texture2D(uTex, src);
    if (uAntiFlicker > 0.5) {
        vec4 up = texture2D(uTex, src + vec2(0.0, uTexelY));
        vec4 dn = texture2D(uTex, src - vec2(0.0, uTexelY));
        col = col * 0.5 + up * 0.25 + dn * 0.25;
    }
    vec3 c = col.rgb + uBright;
    c = (c - 0.5) * uContrast + 0.5;
    float luma = dot(c, vec3(0.299, 0.587, 0.114));
    c = mix(vec3(luma), c, uSat);
    c = c + vec3(uTemp, 0.0, -uTemp);
    c = clamp(c, 0.0, 1.0);
    if (uLutOn > 0.5) c = mix(c, lut3(c), uLutMix);
    gl_FragColor = vec4(c, col.a);
}
)";

const char *const gl_uniform_names[] = {
    "uK",      "uCenter", "uStrength", "uZoom", "uVScale", "uAntiFlicker",
    "uTexelY", "uBright", "uContrast", "uSat",  "uTemp",   "uLut",
    "uLutOn",  "uLutMix", "uLutN",     "uFlip", "uTex"};
static_assert(sizeof gl_uniform_names / sizeof gl_uniform_names[0] == gl_uniform_count,
              "one name per uniform");

DewarpUniforms dewarp_uniforms(int render_h) {
    DewarpUniforms u{};
    const bool lens = g_dewarp != 0;
    u.k[0] = lens ? g_dw_k1 : 0.0f;
    u.k[1] = lens ? g_dw_k2 : 0.0f;
    u.k[2] = lens ? g_dw_k3 : 0.0f;
    u.center[0] = g_dw_cx;
    u.center[1] = g_dw_cy;
    u.strength = lens ? g_dw_strength : 0.0f;
    u.zoom = lens && g_dw_zoom > 0.01f ? g_dw_zoom : 1.0f;
    u.vscale = lens && g_dw_vscale > 0.01f ? g_dw_vscale : 1.0f;
    u.antiflicker = g_antiflicker ? 1.0f : 0.0f;
    u.texel_y = render_h > 0 ? 1.0f / (float)render_h : 0.0f;
    const bool grade = g_colorgrade != 0;
    u.bright = grade ? g_cg_bright : 0.0f;
    u.contrast = grade ? g_cg_contrast : 1.0f;
    u.sat = grade ? g_cg_sat : 1.0f;
    u.temp = grade ? g_cg_temp : 0.0f;
    u.lut_on = grade && g_lut_on && g_lut_n > 0 ? 1.0f : 0.0f;
    u.lut_mix = g_lut_mix;
    u.lut_n = g_lut_n > 1 ? (float)g_lut_n : 2.0f;
    const char *flip = g_flip ? g_flip : "";
    u.flip[0] = !strcmp(flip, "h") || !strcmp(flip, "180") ? -1.0f : 1.0f;
    u.flip[1] = !strcmp(flip, "v") || !strcmp(flip, "180") ? -1.0f : 1.0f;
    return u;
}
