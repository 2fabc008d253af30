#include "vexctl/control_text.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

CtlText fail(std::string msg) {
    CtlText r;
    r.error = std::move(msg);
    return r;
}

CtlText done(std::string text) {
    CtlText r;
    r.ok = true;
    r.text = std::move(text);
    return r;
}

// A value as it appears in a message: quoted, and shortened when long.
std::string shown(const std::string &s) {
    std::string v = s.size() > 40 ? s.substr(0, 37) + "..." : s;
    for (char &c : v)
        if ((unsigned char)c < 0x20 || c == 0x7f) c = '?';
    return "'" + v + "'";
}

// A line of text the program keeps whole: printable bytes only (a newline
// would start another line) and at most `max` bytes. Empty on success.
std::string check_line(const std::string &what, const std::string &s, size_t max) {
    for (char c : s)
        if ((unsigned char)c < 0x20 || c == 0x7f)
            return what + " " + shown(s) + " holds a control character";
    if (s.size() > max)
        return what + " " + shown(s) + " is " + std::to_string(s.size()) + " bytes; at most " +
               std::to_string(max) + " fit";
    return "";
}

// A word without blanks (the program reads such values with "%Ns").
std::string check_word(const std::string &what, const std::string &s, size_t max) {
    if (s.empty()) return what + " is empty";
    for (char c : s)
        if ((unsigned char)c <= 0x20 || c == 0x7f) return what + " " + shown(s) + " holds a blank";
    return check_line(what, s, max);
}

// A decimal number (no hex, infinity or NaN) within [lo, hi].
bool parse_decimal(const std::string &s, double lo, double hi, double *out) {
    if (s.empty() || s.size() > 47) return false;
    if (s.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
    errno = 0;
    char *end = nullptr;
    const double v = strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
    *out = v;
    return true;
}

std::string range_text(double lo, double hi) {
    char buf[64];
    snprintf(buf, sizeof buf, "%g..%g", lo, hi);
    return buf;
}

bool one_of(const std::string &s, std::initializer_list<const char *> words) {
    for (const char *w : words)
        if (s == w) return true;
    return false;
}

} // namespace

bool ctl_split_pair(const std::string &arg, std::string *key, std::string *value) {
    const size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    *key = arg.substr(0, eq);
    *value = arg.substr(eq + 1);
    return true;
}

bool ctl_parse_int(const std::string &s, long lo, long hi, long *out) {
    if (s.empty() || s.size() > 20) return false;
    if (s.find_first_not_of("0123456789+-") != std::string::npos) return false;
    errno = 0;
    char *end = nullptr;
    const long v = strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

// ---- menu --------------------------------------------------------------------

CtlText ctl_menu_text(const CtlMenu &m) {
    static constexpr std::array<const char *, 4> tabs = {"stream", "display", "system", "about"};
    long tab = -1;
    for (size_t i = 0; i < tabs.size(); i++)
        if (m.tab == tabs[i]) tab = (long)i;
    if (tab < 0 && !ctl_parse_int(m.tab, 0, 3, &tab))
        return fail("bad tab " + shown(m.tab) +
                    ": expected 0..3 or stream, display, system, about");
    if ((int)m.items.size() > ctl_menu_items_max)
        return fail("too many menu items (" + std::to_string(m.items.size()) + "); at most " +
                    std::to_string(ctl_menu_items_max) + " are shown");
    int focus = 0;
    if (m.focus == "items") {
        focus = 1;
    } else if (!m.focus.empty() && m.focus != "tabs") {
        return fail("bad focus " + shown(m.focus) + ": expected tabs or items");
    }
    long selected = 0;
    if (!m.selected.empty()) {
        if (m.items.empty()) return fail("a selected item needs items");
        if (!ctl_parse_int(m.selected, 0, (long)m.items.size() - 1, &selected))
            return fail("bad selected item " + shown(m.selected) + ": expected 0.." +
                        std::to_string(m.items.size() - 1));
        if (m.focus.empty()) focus = 1; // selecting an item puts the focus on the list
    }
    std::string err = check_line("menu title", m.title, ctl_menu_line_max);
    if (!err.empty()) return fail(err);
    for (size_t i = 0; i < m.items.size(); i++) {
        err = check_line("menu item " + std::to_string(i), m.items[i], ctl_menu_line_max);
        if (!err.empty()) return fail(err);
    }
    std::string t = m.open ? "open\n" : "closed\n";
    t += std::to_string(tab) + "\n" + std::to_string(focus) + "\n" + std::to_string(selected) +
         "\n" + m.title + "\n";
    for (const std::string &item : m.items) t += item + "\n";
    return done(t);
}

CtlText ctl_message_text(const std::string &message) {
    if (message.empty()) return fail("the message is empty (use 'menu close' to clear one)");
    const std::string err = check_line("message", message, ctl_message_max);
    if (!err.empty()) return fail(err);
    return done("message\n" + message + "\n");
}

std::string ctl_menu_closed_text() {
    return "closed\n";
}

// ---- OSD ---------------------------------------------------------------------

CtlText ctl_osd_text(const std::string &level, const std::string &text) {
    if (!one_of(level, {"info", "warn", "error"}))
        return fail("bad OSD level " + shown(level) + ": expected info, warn or error");
    const std::string err = check_line("OSD text", text, ctl_osd_text_max);
    if (!err.empty()) return fail(err);
    return done(level + "\n" + text + "\n");
}

// ---- telemetry -----------------------------------------------------------------

namespace {

enum class TKind { integer, decimal, word };
struct TKey {
    const char *name;
    TKind kind;
    double lo, hi;
    const char *meaning;
};
constexpr std::array<TKey, 16> telemetry_keys = {{
    {"gog", TKind::integer, 0, 100, "goggles battery, percent"},
    {"drn", TKind::integer, 0, 100, "drone battery, percent"},
    {"sig", TKind::integer, 0, 5, "link signal bars"},
    {"vtx", TKind::integer, -2147483647.0, 2147483647.0, "video transmitter value"},
    {"sat", TKind::integer, 0, 255, "satellites in use"},
    {"tmp", TKind::integer, -99, 999, "temperature, degrees Celsius"},
    {"rec", TKind::integer, 0, 1, "recording"},
    {"recs", TKind::integer, 0, 2147483647.0, "seconds recorded"},
    {"vpn", TKind::integer, 0, 1, "VPN up"},
    {"net", TKind::word, 0, 23, "network label"},
    {"yaw", TKind::decimal, -360, 360, "heading, degrees"},
    {"alt", TKind::decimal, -1e6, 1e6, "altitude, metres"},
    {"spd", TKind::decimal, 0, 1e4, "ground speed, m/s"},
    {"vs", TKind::decimal, -1e4, 1e4, "vertical speed"},
    {"pit", TKind::decimal, -180, 180, "pitch, degrees"},
    {"rol", TKind::decimal, -180, 180, "roll, degrees"},
}};

std::string key_list() {
    std::string s;
    for (const TKey &k : telemetry_keys) s += (s.empty() ? "" : ", ") + std::string(k.name);
    return s;
}

} // namespace

CtlText ctl_telemetry_text(const std::vector<std::string> &pairs) {
    std::string t;
    std::vector<std::string> seen;
    for (const std::string &arg : pairs) {
        std::string key, value;
        if (!ctl_split_pair(arg, &key, &value))
            return fail("bad telemetry item " + shown(arg) + ": expected KEY=VALUE");
        const TKey *k = nullptr;
        for (const TKey &c : telemetry_keys)
            if (key == c.name) k = &c;
        if (!k)
            return fail("unknown telemetry key " + shown(key) + ": expected one of " + key_list());
        for (const std::string &s : seen)
            if (s == key) return fail("telemetry key " + shown(key) + " given twice");
        seen.push_back(key);
        if (k->kind == TKind::word) {
            const std::string err = check_word("telemetry " + key, value, (size_t)k->hi);
            if (!err.empty()) return fail(err);
        } else if (k->kind == TKind::integer) {
            long v;
            if (!ctl_parse_int(value, (long)k->lo, (long)k->hi, &v))
                return fail("bad telemetry " + key + " " + shown(value) + " (" + k->meaning +
                            "): expected a whole number in " + range_text(k->lo, k->hi));
            value = std::to_string(v);
        } else {
            double v;
            if (!parse_decimal(value, k->lo, k->hi, &v))
                return fail("bad telemetry " + key + " " + shown(value) + " (" + k->meaning +
                            "): expected a decimal number in " + range_text(k->lo, k->hi));
        }
        t += key + " = " + value + "\n";
    }
    return done(t);
}

// ---- connect -------------------------------------------------------------------

CtlText ctl_connect_text(const std::string &ssid, const std::string &push,
                         const std::vector<std::string> &rows) {
    std::string err = check_line("network name", ssid, ctl_ssid_max);
    if (err.empty()) err = check_line("push target", push, ctl_push_max);
    if (!err.empty()) return fail(err);
    const size_t n = rows.size();
    if (n > (size_t)ctl_qr_max_modules)
        return fail("the QR code is " + std::to_string(n) + " modules wide; at most " +
                    std::to_string(ctl_qr_max_modules) + " are shown (use a shorter text)");
    for (const std::string &r : rows)
        if (r.size() != n || r.find_first_not_of("#.") != std::string::npos)
            return fail("the QR matrix is not square or holds other characters than '#' and '.'");
    std::string t;
    if (!ssid.empty()) t += "ssid=" + ssid + "\n";
    if (!push.empty()) t += "push=" + push + "\n";
    if (n > 0) {
        t += "qr=" + std::to_string(n) + "\n";
        for (const std::string &r : rows) t += r + "\n";
    }
    return done(t);
}

// ---- live tuning ---------------------------------------------------------------

namespace {

enum class KKind { decimal, choice, path, flag };
struct TuneKey {
    const char *name;
    KKind kind;
    double lo, hi;
    std::initializer_list<const char *> choices;
};
const std::array<TuneKey, 19> &tune_keys() {
    static const std::array<TuneKey, 19> keys = {{
        {"aspect", KKind::choice, 0, 0, {"keep", "16:9", "4:3", "16:10"}},
        {"fit", KKind::choice, 0, 0, {"fit", "cover", "stretch"}},
        {"flip", KKind::choice, 0, 0, {"none", "h", "v", "180"}},
        {"dsiflip", KKind::choice, 0, 0, {"none", "h", "v", "180", "-"}},
        {"lut", KKind::path, 0, 0, {}},
        {"strength", KKind::decimal, 0, 1, {}},
        {"k1", KKind::decimal, -10, 10, {}},
        {"k2", KKind::decimal, -10, 10, {}},
        {"k3", KKind::decimal, -10, 10, {}},
        {"cx", KKind::decimal, 0, 1, {}},
        {"cy", KKind::decimal, 0, 1, {}},
        {"zoom", KKind::decimal, 0.1, 10, {}},
        {"vscale", KKind::decimal, 0.1, 10, {}},
        {"bright", KKind::decimal, -1, 1, {}},
        {"contrast", KKind::decimal, 0, 4, {}},
        {"sat", KKind::decimal, 0, 4, {}},
        {"temp", KKind::decimal, -1, 1, {}},
        {"lutmix", KKind::decimal, 0, 1, {}},
        {"smooth", KKind::flag, 0, 1, {}},
    }};
    return keys;
}

const TuneKey *tune_key(const std::string &name) {
    for (const TuneKey &k : tune_keys())
        if (name == k.name) return &k;
    return nullptr;
}

// Empty when `value` is acceptable for `k`, else the message.
std::string check_tune(const TuneKey &k, const std::string &value) {
    const std::string what = "tuning " + std::string(k.name);
    switch (k.kind) {
        case KKind::choice: {
            for (const char *c : k.choices)
                if (value == c) return "";
            std::string list;
            for (const char *c : k.choices) list += (list.empty() ? "" : ", ") + std::string(c);
            return "bad " + what + " " + shown(value) + ": expected one of " + list;
        }
        case KKind::path:
            if (value == "-") return "";
            if (value.empty() || value[0] != '/')
                return "bad " + what + " " + shown(value) + ": expected an absolute path or -";
            return check_word(what, value, 95);
        case KKind::flag:
            if (value == "0" || value == "1") return "";
            return "bad " + what + " " + shown(value) + ": expected 0 or 1";
        case KKind::decimal: {
            double v;
            if (parse_decimal(value, k.lo, k.hi, &v)) return "";
            return "bad " + what + " " + shown(value) + ": expected a decimal number in " +
                   range_text(k.lo, k.hi);
        }
    }
    return "";
}

} // namespace

CtlText ctl_tuning_text(const std::string &current, const std::vector<std::string> &pairs) {
    std::vector<std::pair<std::string, std::string>> lines; // key order of first appearance
    auto set = [&](const std::string &key, const std::string &value) {
        for (auto &l : lines)
            if (l.first == key) {
                l.second = value;
                return;
            }
        lines.emplace_back(key, value);
    };
    // The current file, read as the program reads it.
    size_t pos = 0;
    while (pos < current.size()) {
        size_t end = current.find('\n', pos);
        if (end == std::string::npos) end = current.size();
        const std::string line = current.substr(pos, std::min<size_t>(end - pos, 159));
        pos = end + 1;
        char key[32], value[96];
        if (sscanf(line.c_str(), " %31[a-z0-9_] = %95s", key, value) != 2) continue;
        if (tune_key(key) && check_tune(*tune_key(key), value).empty()) set(key, value);
    }
    std::vector<std::string> given;
    for (const std::string &arg : pairs) {
        std::string key, value;
        if (!ctl_split_pair(arg, &key, &value))
            return fail("bad tuning item " + shown(arg) + ": expected KEY=VALUE");
        const TuneKey *k = tune_key(key);
        if (!k) {
            std::string list;
            for (const TuneKey &c : tune_keys())
                list += (list.empty() ? "" : ", ") + std::string(c.name);
            return fail("unknown tuning key " + shown(key) + ": expected one of " + list);
        }
        for (const std::string &g : given)
            if (g == key) return fail("tuning key " + shown(key) + " given twice");
        given.push_back(key);
        const std::string err = check_tune(*k, value);
        if (!err.empty()) return fail(err);
        set(key, value);
    }
    std::string t;
    for (const auto &l : lines) t += l.first + " = " + l.second + "\n";
    return done(t);
}

// ---- detection -----------------------------------------------------------------

CtlText ctl_detect_text(const std::string &state) {
    if (state == "on" || state == "1") return done("on\n");
    if (state == "off" || state == "0") return done("off\n");
    return fail("bad detection state " + shown(state) + ": expected on or off");
}

// ---- state ---------------------------------------------------------------------

CtlState ctl_parse_state(const std::string &text) {
    CtlState s;
    char state[16];
    if (sscanf(text.c_str(), "state=%15s ts=%lld dec=%lld shown=%lld reopens=%lld", state, &s.ts,
               &s.dec, &s.shown, &s.reopens) == 5) {
        s.ok = true;
        s.state = state;
    }
    return s;
}
