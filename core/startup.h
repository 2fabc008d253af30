#pragma once
// Process start-up: capability query, display wait, configuration, decoder.
#include "stream/reader.h"

// Waits for a display, asking plymouth to hand over first when it holds it.
void startup_wait_display();
// Back-off before display retry number `attempt` (1-based), in ms: 500, 1000, … 5000.
int display_retry_delay_ms(int attempt);
// Chooses, creates and (unless deferred) opens the decoder and its parser.
// Exits with status 1 when the decoder cannot be set up.
void startup_decoder(ReaderArgs *ra);
