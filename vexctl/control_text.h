#pragma once
// The texts of the control files, built from validated values.
//
// Every builder checks its values against what the program reads back
// unchanged (lengths that survive its line buffers and field sizes, numbers
// in their meaningful ranges, words it recognises) and either returns the
// whole file text or fails with a message that names the bad value. Nothing
// here touches the file system.
#include <string>
#include <utility>
#include <vector>

// A file text, or an error message when `ok` is false.
struct CtlText {
    bool ok = false;
    std::string text;  // the whole file, when ok
    std::string error; // one line without a trailing newline, when not ok
};

// ---- menu ("menu") ---------------------------------------------------------

constexpr int ctl_menu_items_max = 12;
constexpr size_t ctl_menu_line_max = 63; // title and items, bytes
constexpr size_t ctl_message_max = 95;   // message and OSD texts, bytes
constexpr size_t ctl_osd_text_max = 95;

struct CtlMenu {
    bool open = true;
    std::string tab = "0";          // 0..3 or a tab name (stream, display, system, about)
    std::string focus;              // "", "tabs" or "items"
    std::string selected;           // "" or an item index, 0..count - 1
    std::string title;              // may be empty: the program then shows the tab's name
    std::vector<std::string> items; // "label" or "label: value"
};
// The menu file for an open (or closed) menu.
CtlText ctl_menu_text(const CtlMenu &m);
// The menu file for a full-screen message.
CtlText ctl_message_text(const std::string &message);
// The menu file that closes the menu and clears a message.
std::string ctl_menu_closed_text();

// ---- OSD pop-up ("osd") ----------------------------------------------------

// level: "info", "warn" or "error"; an empty text clears the pop-up.
CtlText ctl_osd_text(const std::string &level, const std::string &text);

// ---- telemetry ("telemetry") -----------------------------------------------

// KEY=VALUE arguments; the file replaces the whole record, so keys not given
// read as unknown.
CtlText ctl_telemetry_text(const std::vector<std::string> &pairs);

// ---- connect screen ("connect") --------------------------------------------

constexpr size_t ctl_ssid_max = 63;
// The program's field holds 127 bytes, but its 128-byte line buffer keeps
// "push=", 121 bytes and the newline together.
constexpr size_t ctl_push_max = 121;
constexpr int ctl_qr_max_modules = 64;

// rows: the QR matrix, '#' dark and '.' light, one string per row (empty: no
// code); ssid and push may be empty.
CtlText ctl_connect_text(const std::string &ssid, const std::string &push,
                         const std::vector<std::string> &rows);

// ---- live tuning ("dewarp") ------------------------------------------------

// Merges KEY=VALUE arguments into the current file text (`current`, possibly
// empty): lines of known keys are kept with their last value, given keys
// replace them, unknown keys and malformed lines are dropped.
CtlText ctl_tuning_text(const std::string &current, const std::vector<std::string> &pairs);

// ---- detection toggle ("detect") -------------------------------------------

// "on" or "off" (also "1" or "0").
CtlText ctl_detect_text(const std::string &state);

// ---- state ("hdmi_state", "hdmi_mode") ---------------------------------------

struct CtlState {
    bool ok = false; // the line had every field
    std::string state;
    long long ts = 0, dec = 0, shown = 0, reopens = 0;
};
// Parses the state file's line "state=S ts=N dec=N shown=N reopens=N".
CtlState ctl_parse_state(const std::string &text);

// ---- helpers shared with the command line ----------------------------------

// Splits "key=value" (the first '='); false when there is no '=' or no key.
bool ctl_split_pair(const std::string &arg, std::string *key, std::string *value);
// A whole base-10 integer within [lo, hi].
bool ctl_parse_int(const std::string &s, long lo, long hi, long *out);
