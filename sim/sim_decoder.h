#pragma once
// The simulated board's hardware video decoders.
//
// The program reaches its decoders through FFmpeg by name ("h264_v4l2m2m",
// "h264_rkmpp", "hevc_rkmpp", "hevc"). In vex-mpp-sim and the unit tests the
// FFmpeg entry points listed in sim/CMakeLists.txt are wrapped at link time
// (`__wrap_<symbol>` here, `__real_<symbol>` for the library), and those four
// names decode in software while handing back DRM PRIME frames in
// memfd-backed NV12 buffers from a fixed per-decoder pool, as the board's
// decoders do. Every other decoder name reaches FFmpeg unchanged.
//
// Fault knobs (read whenever a simulated decoder opens):
//   VEX_SIM_DEC_BUFFERS=N           output buffers per decoder (default 16, 1..64)
//   VEX_SIM_DEC_OPEN_FAIL=N[,N...]  the Nth simulated open in the process fails (EIO)
//   VEX_SIM_DEC_STALL_AFTER=N       no frames any more once N frames were handed back
//   VEX_SIM_DEC_STALL_UNTIL_FLUSH=1 ... until the next avcodec_flush_buffers
//   VEX_SIM_DEC_BUSY=N[:M]          send attempts N..N+M-1 are refused with EAGAIN
//   VEX_SIM_DEC_DELAY_US=U          each frame handed back costs U microseconds

// Process-wide counts of the simulated decoders, never reset.
struct SimDecStats {
    long long frames;  // frames handed back by avcodec_receive_frame
    long long packets; // packets accepted by avcodec_send_packet
    long long refused; // packets refused with EAGAIN (knob or full decoder)
    long long sends;   // avcodec_send_packet calls carrying data (VEX_SIM_DEC_BUSY counts these)
    long long opens;   // avcodec_open2 calls on simulated decoders, failed ones included
};

void sim_dec_stats(SimDecStats *out);

struct AVFrame;
// Copies the picture fields (size, timestamps, colour description, picture
// type, flags but the key-frame bit) of a decoded frame into the frame handed
// back. Enum fields outside their type's range become "unspecified".
void sim_copy_frame_fields(AVFrame *dst, const AVFrame *src);
