#pragma once
// The reader thread: standard input → access units → decoder → mailbox.
#include <atomic>
#include <cstddef>
#include <cstdint>

struct AVCodecContext;
struct AVCodecParserContext;
struct AVCodec;

// Built at start-up and owned by the main thread; the reader replaces the
// context and parser when it re-opens the decoder.
struct ReaderArgs {
    AVCodecContext *ctx;
    AVCodecParserContext *parser;
    const AVCodec *codec;
    const char *name; // decoder name as configured
    int deferred;     // 1: open once the stream's parameter sets are known ("hevc")
};

// Most input kept while waiting for an H.265 stream's parameter sets.
constexpr size_t reader_buffer_limit = 8u << 20;

// Read size on standard input from VEX_KMS_READ_BYTES (4096..65536, else 24576).
int reader_read_size(const char *value);

// Pictures sent to the decoder and not handed back yet. A decoder that works
// beside the CPU hands a picture back a while after its packet, so the drain
// right after a send may receive the picture of an earlier packet while the
// newest is still owed: a count, not a flag. Forgotten once the window after
// the last picture sent has passed (a decoder may drop pictures).
struct OwedPictures {
    int64_t count = 0;
    int64_t until_us = 0; // end of the window
    int key = 0;          // key-frame flag of the last packet sent
};
constexpr int64_t owed_window_us = 100000;
// A packet was sent (`has_picture`: it carries a slice, `key`: a key frame)
// at `now_us`, and the drain after it received `got` pictures.
void owed_sent(OwedPictures *o, bool has_picture, int key, int got, int64_t now_us);
// A later drain received `got` pictures.
void owed_received(OwedPictures *o, int got);
// Whether the decoder should be asked again at `now_us`: pictures are owed and
// the window is open (once it has closed they are forgotten).
bool owed_pending(OwedPictures *o, int64_t now_us);

void *reader_thread(void *arg);
