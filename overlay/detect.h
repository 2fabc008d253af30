#pragma once
// Object-detection boxes. A detector, not part of this program's own code and
// running on a thread of its own, publishes its latest results into the table
// below; while detection is on, the overlay composition draws them as outlined
// boxes with a small score label.
//
// Locking: g_det_lock guards g_ndet and g_dets. It is held only to copy the
// table in (detect_publish, on the detector's thread) or out (detect_copy),
// never while drawing, and nothing else is locked while it is held. The
// composition takes its copy before it takes g_overlay_lock, so the two never
// nest.
#include <cstdint>
#include <pthread.h>

// One result; coordinates are fractions of the picture, so the table serves
// outputs of any size.
struct Detection {
    int32_t tag; // the detector's own; not read here
    float score; // confidence, 0.0 to 1.0
    float x, y;  // left and top edge
    float w, h;  // width and height
};

constexpr int32_t det_max = 50;

extern pthread_mutex_t g_det_lock;
// Number of valid entries (the overlay uses at most det_max) and the entries.
extern int32_t g_ndet;
extern Detection g_dets[det_max];

// For a detector: replaces the table with the first min(n, 50) of `d` (n <= 0
// or null `d`: no results).
void detect_publish(const Detection *d, int32_t n);

// Counts the tables published so far (wraps); a change tells the composition
// that there is something new to draw.
uint32_t detect_generation();

// A copy of the results taken for one composition.
struct DetectionSnapshot {
    Detection d[det_max];
    int32_t n = 0;
};

// Copies the current results (at most det_max) into out under g_det_lock;
// returns how many.
int32_t detect_copy(Detection out[det_max]);

// Draws n results onto a W x H canvas, later ones over earlier ones; no lock.
void draw_detection_table(uint8_t *px, uint32_t pitch, int32_t W, int32_t H, const Detection *d,
                          int32_t n);
