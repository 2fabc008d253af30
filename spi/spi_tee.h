#pragma once
// The SPI tee: a small RGB565 copy of what the viewer sees, in the POSIX
// shared-memory object "/vex-spi.frame", for a separate process that drives a
// small SPI panel. Two writers fill the same frame: the live copy (the GPU
// pass draws the corrected picture a second time at panel size and reads it
// back; the SPI thread converts it) and the standby publisher (the standby
// picture of output 0, scaled on the CPU while no video is shown). Both finish
// the frame with a 26-row header strip and bracket their writes with the
// sequence counter, which is odd while the frame is being written.
//
// The shared frame, little-endian: magic 0x54495053 ("SPIT"), width, height,
// sequence (u32 each), then width x height RGB565 words, top row first.
//
// Threads: the live copy's GL work and the standby publisher run on the main
// thread; the SPI thread converts and writes. g_spi_tee_lock guards the
// read-back buffers, their queue, the strip and every write of the frame.
// The strip's text is drawn on the main thread only (spi_tee_header_refresh),
// like all other text; the SPI thread merely lays the finished strip over.
#include <cstddef>
#include <cstdint>
#include <pthread.h>

constexpr uint32_t spi_tee_magic = 0x54495053u;
constexpr int spi_tee_header_bytes = 16;
constexpr int spi_hdr_rows = 26;
constexpr const char *spi_tee_shm_name = "/vex-spi.frame";

// -1 undecided, 0 off, 1 on; panel size and fit flag (1: letterbox, 0: fill).
extern int g_spi_tee_on;
extern int g_spi_tee_w, g_spi_tee_h, g_spi_tee_fit;
extern pthread_mutex_t g_spi_tee_lock;

// ---- Pure rules ---------------------------------------------------------

// The panel a VEX_KMS_SPI_TEE value asks for: true with *w x *h when the value
// reads "WxH" with both in 1..1024.
bool spi_tee_parse_size(const char *value, int *w, int *h);
// Fit mode for a VEX_KMS_SPI_ASPECT value: "fit" or "off".
bool spi_tee_fit_mode(const char *value);
// Minimum interval in seconds between live copies for a VEX_KMS_SPI_FPS value
// (null: 20 a second); 0 means no limit.
double spi_tee_interval(const char *value);
// One RGB565 word, by truncation.
inline uint16_t rgb565(uint8_t r, uint8_t g, uint8_t b) {
    return (uint16_t)(((r & 0xF8) << 8) | ((g & 0xFC) << 3) | (b >> 3));
}
// Converts n pixels of bytes R, G, B, A to RGB565 words.
void spi_rgba_to_rgb565(const uint8_t *src, uint16_t *dst, size_t n);
// The viewport of the live copy: the render picture rw x rh scaled to the
// panel W x H, covering it (fill) or inside it (fit), centred.
struct SpiViewport {
    int x, y, w, h;
};
SpiViewport spi_tee_viewport(int W, int H, int rw, int rh, bool fit);
// Size of the standby picture w x h fitted inside the panel, even numbers.
void spi_tee_standby_size(int W, int H, int w, int h, int *dw, int *dh);
// Lays an ARGB8888 strip (W x rows, pitch W * 4) over the first rows of an
// RGB565 frame W wide: alpha-blended per channel, alpha 0 leaves the frame.
void spi_strip_composite(const uint32_t *strip, int rows, uint16_t *frame, int W);

// ---- Entry points -------------------------------------------------------

// Decides g_spi_tee_on on first use from the environment; true when on.
bool spi_tee_enabled();
// Maps the shared frame (once; a failed attempt is retried by a later call):
// 0 when mapped, -1 on failure. Mapping writes the header with sequence 0.
int spi_tee_shm_init();
// The mapped frame's pixels (null until mapped).
uint16_t *spi_tee_pixels();

// Publishes a CPU picture (XRGB8888, bytes B, G, R, X, rows `pitch` bytes
// apart), letterboxed into the panel: the standby picture. Main thread.
void spi_tee_publish_buffer(const uint8_t *map, uint32_t pitch, uint32_t w, uint32_t h);

// Redraws the header strip (battery levels, temperature, recording time,
// uptime) from the telemetry record and hands it to the writers. Main thread
// only: it draws text with the shared face and mirror flags.
void spi_tee_header_refresh();

// ---- The live copy (called by the GPU pass, main thread) ----------------

// Prepares the read-back buffers and starts the SPI thread: true when ready.
bool spi_tee_live_start();
// The rate limit: true when a copy is due now (and records the time).
bool spi_tee_live_due();
// Takes a free read-back buffer (W x H x 4 bytes, R, G, B, A): its index and
// pixels, or -1 when all three are busy.
int spi_tee_live_take(uint8_t **px);
// Queues a filled buffer for the SPI thread.
void spi_tee_live_queue(int index);
// Updates published by the SPI thread (for the log).
long spi_tee_live_count();
