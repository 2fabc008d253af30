#pragma once
// The video plane of every output: decoder frames imported as framebuffers,
// placed and put on each output's video plane (atomic or legacy updates, see
// plane_ops.h), kept alive while the display may still scan them out, and taken
// off again.
//
// What is on screen is a two-deep ring (current, previous) of framebuffers with
// the frames whose dmabufs they scan out: each pair is released once two newer
// ones were kept, or when the video is hidden. At end of input nothing is
// released: the process ends right after.
#include <cstdint>

struct AVFrame;
struct AVDRMFrameDescriptor;
struct Output;

// A framebuffer on the frame's own dmabufs (the descriptor's first layer),
// with modifiers when the first plane has one; 0 when the buffers cannot be
// imported or the display refuses them (AddFB2 failures 1, 300, 600, ... are
// logged). The import's GEM handles are closed again at once: the framebuffer
// holds its own references, so nothing stays pinned once it is removed.
uint32_t video_import(const AVFrame *f, const AVDRMFrameDescriptor *desc);

// Places a src_w x src_h picture on output `index` (its mode, aspect, fit and
// flip; `sidebar`: the menu takes its sidebar column on the primary plane) and
// puts `fb` on its video plane. A panel output whose frame (frame_w x frame_h,
// NV12) can go through its own scaled ring shows the ring slot instead. A
// refused update is logged the first time for that output; the next output
// and frame go on.
void video_place(int index, const AVDRMFrameDescriptor *desc, int frame_w, int frame_h, uint32_t fb,
                 int src_w, int src_h, bool sidebar);

// Keeps `fb` and `frame` (both now owned here) as what is on screen and
// releases the pair of two frames earlier. True when this is the first frame
// since the video was hidden (or ever).
bool video_keep(uint32_t fb, AVFrame *frame);

// Whether a video frame is on the outputs.
bool video_showing();

// Takes the video off one output: a primary-path output shows its standby
// framebuffer again, any other output's video plane is switched off.
void video_plane_off(const Output &o);

// Takes the video off every output while a menu message is shown; what is
// kept stays kept.
void video_blank_all();

// Takes the video off every output, shows the standby pictures again (each
// repainted), and releases the kept framebuffers and frames. Nothing when no
// video is shown.
void hide_video();
