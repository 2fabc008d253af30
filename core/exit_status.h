#pragma once
// The one way the process ends early: the log is flushed and the process exits
// with the status the supervisor acts on.

enum class ExitStatus {
    done = 0,       // end of input, or the displays changed (the supervisor starts afresh)
    no_decoder = 1, // no decoder could be set up at start
    respawn = 3,    // the decoder cannot be repaired: restart the process
};
constexpr ExitStatus display_changed_exit = ExitStatus::done;

// Flushes standard error and ends the process with `status`. Never returns.
[[noreturn]] void exit_process(ExitStatus status);
