#pragma once
// Object-detection engines: the seam between the detection toggle and a
// detector. The detector itself (model, inference) is not this program's: an
// engine adapts one to three things this program provides:
//
//  - the packet queue (stream/detect_queue.h): while detection is on, the
//    reader clones every access unit into detq. The engine's thread waits on
//    detq_cv under detq_lock, takes packets with detq_pop_locked, and owns and
//    frees each one it takes;
//  - the result table (overlay/detect.h): the engine publishes its boxes with
//    detect_publish, which the overlay draws at its next composition;
//  - det_running: set by detect_engine_start when an engine started, cleared by
//    detect_engine_stop. The engine's thread must end promptly once it reads 0
//    after a signal of detq_cv.
//
// Start and stop run on the main thread only.
#include <atomic>

struct DetectEngine {
    const char *name;
    // Initialises the engine from the model and weights files (weights may be
    // null) and starts its thread. 0 on success; -1 when the files are not
    // this engine's or it cannot start, with nothing left running.
    int (*start)(const char *model, const char *weights);
    // Waits for the engine's thread to end and releases what start took;
    // called once det_running is 0 and detq_cv has been signalled.
    void (*join)();
};

// 1 while an engine runs.
extern std::atomic<int> det_running;

// Offers the model to each engine in turn; the first that starts runs.
// 0 when one started (det_running is then 1), -1 when none did.
int detect_engine_start(const char *model, const char *weights);

// Stops the running engine (nothing when none runs): clears det_running, wakes
// its thread and waits for it to end, frees the packets still queued and
// empties the result table. Returns 1 when an engine was stopped.
int detect_engine_stop();

// The one engine in the tree: a stand-in detector that finds the boxes its
// model file lists on every key frame, for checking the whole detection path
// (queue, results, overlay) without a real detector. Its model file is a
// regular text file of at most 4 KiB:
//
//     vex-mpp fixed-box detector
//     box X Y W H SCORE        (fractions of the picture; up to 8 lines)
//
// On each key frame it publishes the boxes, each tagged with the number of
// key frames seen so far; other packets are taken and dropped.
extern const DetectEngine detect_fixed_box_engine;
