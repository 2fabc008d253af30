#pragma once
// The FFmpeg versions the program builds against, and everything that
// differs between them, settled in this one place.
//
// Debian 12 ships FFmpeg 5.1 (libavcodec 59, libavutil 57, libswscale 6); the
// boards run 7.1 (61, 59, 8). Between the two, AVFrame's key_frame,
// interlaced_frame and top_field_first fields gave way to bits in
// AVFrame.flags (libavutil 58.29), and other fields and calls were deprecated
// or removed (pkt_duration, the channel-layout fields, avcodec_close, ...).
// The program uses none of the old names: deprecation warnings are errors in
// the warnings-as-errors build, and CI compiles every product object against
// 7.1's headers as well (scripts/ffmpeg7.sh), so an old name cannot creep in.
extern "C" {
#include <libavcodec/version.h>
#include <libavutil/frame.h>
#include <libavutil/version.h>
}

static_assert(LIBAVCODEC_VERSION_MAJOR >= 59 && LIBAVCODEC_VERSION_MAJOR <= 61,
              "vex-mpp builds against FFmpeg 5.1 to 7.1 (libavcodec 59 to 61)");
static_assert(LIBAVUTIL_VERSION_MAJOR >= 57 && LIBAVUTIL_VERSION_MAJOR <= 59,
              "vex-mpp builds against FFmpeg 5.1 to 7.1 (libavutil 57 to 59)");

// A build that names the FFmpeg it means (cmake -DVEX_FFMPEG_MAJOR=61) fails
// here when other headers were found first.
#ifdef VEX_EXPECT_LIBAVCODEC_MAJOR
static_assert(LIBAVCODEC_VERSION_MAJOR == VEX_EXPECT_LIBAVCODEC_MAJOR,
              "the libavcodec headers found are not those of the FFmpeg this build names");
#endif

// The key-frame bit of AVFrame.flags, named by FFmpeg from 6.1 on. The program
// sets and reads it itself, so on older versions it defines the same bit.
#ifndef AV_FRAME_FLAG_KEY
#define AV_FRAME_FLAG_KEY (1 << 1)
#endif

// 1 while AVFrame still carries key_frame, interlaced_frame and
// top_field_first as fields of their own (before FFmpeg 6.1).
#define VEX_AVFRAME_HAS_FLAG_FIELDS (LIBAVUTIL_VERSION_INT < AV_VERSION_INT(58, 29, 100))
