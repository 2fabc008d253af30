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

void *reader_thread(void *arg);
