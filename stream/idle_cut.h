#pragma once
// The idle cut: a byte-stream parser can only end an access unit when the
// next one begins, so a sender that puts its delimiters at the start of each
// picture makes every picture wait one frame period in the parser. With the
// cut on, the reader sends the unit the parser holds once standard input has
// been quiet for a while and the held bytes form a picture known to be whole.
//
// "Whole" is learned, never guessed: pictures ended by the start of the next
// one tell how many slices the stream's pictures carry and where each begins
// (its first macroblock or coding tree block), and only a held picture with
// that many slices beginning at those places (after the same layout on
// several pictures in a row) is cut. Pictures sent slice by slice, with
// pauses between slices, are so never split; nor are they when an encoder
// changes its slicing: the held slices no longer begin where the learned ones
// did. Pure rules, no I/O.
#include <cstddef>
#include <cstdint>

struct ParamSets;

// Pictures in a row with the same slice count before the count is trusted.
constexpr int idle_cut_stable = 3;

// Longest quiet time that can be asked for (VEX_KMS_IDLE_CUT_MS).
constexpr int idle_cut_max_ms = 1000;

// The quiet time from the setting's value: 1..idle_cut_max_ms, anything else
// (unset, 0, out of range) is 0, the cut switched off.
int idle_cut_ms(const char *value);

// What a run of NAL units (the bytes a parser holds, or a unit it handed out)
// holds, as far as cutting is concerned.
struct HeldUnit {
    int slices = 0;              // slice units (H.264 types 1 and 5; H.265 types 0..31)
    uint64_t layout = 0;         // where the slices begin, in order (a hash)
    bool starts_picture = false; // the first slice opens a picture
    bool one_picture = false;    // it does, and no later slice opens another
    bool plain = true;           // no unit the cut leaves alone (data partitions,
                                 // slice extensions) and no unreadable slice header
    size_t tail_zeros = 0;       // zero bytes at the end: no NAL unit ends with one,
                                 // so they may begin the next start code and go with
                                 // what follows
};

// Inspects Annex B bytes. A slice opens a picture when its first_mb_in_slice
// is 0 (H.264) or its first_slice_segment_in_pic_flag is set (H.265). An
// H.265 slice's address is read with the parameter sets of `ps` it refers
// to; without them (or with `ps` null) the unit is not plain.
HeldUnit idle_cut_inspect(const uint8_t *data, size_t size, bool is_hevc, const ParamSets *ps);

// What was learned about the stream.
struct IdleCut {
    int learned = 0;        // slices per picture of the last whole pictures
    uint64_t layout = 0;    // and where they began
    int streak = 0;         // whole pictures in a row with `learned` slices
    bool unchecked = false; // the last unit sent was cut; whether it was whole
                            // shows in the unit after it
    long relearns = 0;      // cuts found wrong afterwards (a picture had more slices)
};

// A unit the parser ended because the next one began: a whole picture when
// it holds one, whose slices teach the count. A unit that follows a cut and
// does not open a picture shows that the cut split one: the count is learned
// afresh. Returns true when the count just became trusted (to be reported).
bool idle_cut_learn(IdleCut *c, const HeldUnit &u);

// Whether the held bytes may be sent once input has been quiet long enough:
// one picture, opened by its first slice, of the trusted slice count and
// layout. Its
// zero bytes at the end (`tail_zeros`) are not part of it.
bool idle_cut_ready(const IdleCut &c, const HeldUnit &held);

// Whether to cut now: ready and quiet for at least `cut_ms` (> 0).
bool idle_cut_due(const IdleCut &c, const HeldUnit &held, int64_t quiet_ms, int cut_ms);

// Notes that the held unit was sent by a cut.
void idle_cut_sent(IdleCut *c);
