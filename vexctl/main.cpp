// vexctl: steers a running vex-mpp through its control files and reads its
// state. Every file is written whole and atomically; values are checked
// before anything is written.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "vexctl/control_text.h"
#include "vexctl/ctl_files.h"

namespace {

constexpr int exit_ok = 0, exit_failed = 1, exit_usage = 2;

const char usage_text[] =
    R"(Usage: vexctl [--dir DIR] COMMAND [ARGUMENTS]

Steers a running vex-mpp through its control files and reads its state.
Every file is written whole (a temporary file renamed into place).

Commands:
  menu open [--tab T] [--focus tabs|items] [--selected N] [--title TEXT] [ITEM...]
                          show the menu; T is 0..3 or stream, display, system,
                          about; an ITEM is "label" or "label: value" (at most
                          12 items of 63 bytes; put -- before items that
                          begin with -); --selected puts the focus on the
                          item list unless --focus says otherwise
  menu close              hide the menu and any message
  message TEXT...         show a full-screen message (at most 95 bytes)
  osd info|warn|error TEXT...
                          show a pop-up notice (at most 95 bytes) until cleared
  osd clear               remove the pop-up
  telemetry KEY=VALUE...  replace the telemetry record (keys not given read as
                          unknown): gog, drn (0..100), sig (0..5), vtx, sat,
                          tmp, rec, recs, vpn, net (a word of 23 bytes), yaw,
                          alt, spd, vs, pit, rol (decimal numbers)
  telemetry clear         remove the record
  connect [--ssid NAME] [--push TARGET] [--qr TEXT | --no-qr]
                          connection help on the standby screen: a QR code of
                          TEXT (default: the push target), the network name and
                          the push target; without options, clear it
  tune [--reset] KEY=VALUE...
                          change live settings, keeping earlier ones unless
                          --reset: aspect, fit, flip, dsiflip, lut, strength,
                          k1, k2, k3, cx, cy, zoom, vscale, bright, contrast,
                          sat, temp, lutmix, smooth
  detect on|off           switch object detection
  snapshot                save the next presented frame
  status                  print the state, its age, the counters and the mode;
                          exit status 1 when the state is missing or older
                          than --max-age milliseconds (default 5000)

Options:
  --dir DIR   the run directory (default /run/vex-fpv); the program's own
              variables (VEX_KMS_MENU, VEX_KMS_OSD, VEX_KMS_TELEMETRY,
              VEX_KMS_CONNECT, VEX_KMS_DEWARP_FILE, VEX_KMS_DETECT,
              VEX_KMS_STATE) move single files as they do for the program
  --help      print this text

Exit status: 0 done, 1 a file could not be written or read, 2 bad usage or a
bad value.
)";

struct Ctl {
    std::string dir = "/run/vex-fpv";
};

int usage_error(const std::string &msg) {
    fprintf(stderr, "vexctl: %s\nTry 'vexctl --help'.\n", msg.c_str());
    return exit_usage;
}

int write_file(const Ctl &c, CtlFile f, const CtlText &t) {
    if (!t.ok) return usage_error(t.error);
    const std::string err = ctl_write_atomic(ctl_path(f, c.dir), t.text);
    if (err.empty()) return exit_ok;
    fprintf(stderr, "vexctl: %s\n", err.c_str());
    return exit_failed;
}

int remove_file(const Ctl &c, CtlFile f) {
    const std::string err = ctl_remove(ctl_path(f, c.dir));
    if (err.empty()) return exit_ok;
    fprintf(stderr, "vexctl: %s\n", err.c_str());
    return exit_failed;
}

std::string join(const std::vector<std::string> &args, size_t from) {
    std::string s;
    for (size_t i = from; i < args.size(); i++) s += (i > from ? " " : "") + args[i];
    return s;
}

// Takes the value of option args[*i] into *out; false when it is missing.
bool option_value(const std::vector<std::string> &args, size_t *i, std::string *out) {
    if (*i + 1 >= args.size()) return false;
    *out = args[++*i];
    return true;
}

int cmd_menu(const Ctl &c, const std::vector<std::string> &a) {
    if (a.size() < 2) return usage_error("menu needs 'open' or 'close'");
    if (a[1] == "close") {
        if (a.size() > 2) return usage_error("'menu close' takes no arguments");
        CtlText t;
        t.ok = true;
        t.text = ctl_menu_closed_text();
        return write_file(c, CtlFile::menu, t);
    }
    if (a[1] != "open") return usage_error("unknown menu action '" + a[1] + "'");
    CtlMenu m;
    bool items_only = false;
    for (size_t i = 2; i < a.size(); i++) {
        const std::string &o = a[i];
        std::string *target = nullptr;
        if (!items_only && o == "--") {
            items_only = true;
            continue;
        }
        if (!items_only && o == "--tab") target = &m.tab;
        if (!items_only && o == "--focus") target = &m.focus;
        if (!items_only && o == "--selected") target = &m.selected;
        if (!items_only && o == "--title") target = &m.title;
        if (target) {
            if (!option_value(a, &i, target)) return usage_error("option " + o + " needs a value");
        } else if (!items_only && o.size() > 1 && o[0] == '-') {
            return usage_error("unknown menu option '" + o + "'");
        } else {
            m.items.push_back(o);
        }
    }
    return write_file(c, CtlFile::menu, ctl_menu_text(m));
}

int cmd_osd(const Ctl &c, const std::vector<std::string> &a) {
    if (a.size() == 2 && a[1] == "clear")
        return write_file(c, CtlFile::osd, ctl_osd_text("info", ""));
    if (a.size() < 3) return usage_error("osd needs a level and a text, or 'clear'");
    const std::string text = join(a, 2);
    if (text.empty()) return usage_error("the OSD text is empty (use 'osd clear')");
    return write_file(c, CtlFile::osd, ctl_osd_text(a[1], text));
}

int cmd_connect(const Ctl &c, const std::vector<std::string> &a) {
    std::string ssid, push, qr;
    bool qr_given = false, no_qr = false;
    for (size_t i = 1; i < a.size(); i++) {
        const std::string &o = a[i];
        bool ok = true;
        if (o == "--ssid") {
            ok = option_value(a, &i, &ssid);
        } else if (o == "--push") {
            ok = option_value(a, &i, &push);
        } else if (o == "--qr") {
            ok = option_value(a, &i, &qr);
            qr_given = true;
        } else if (o == "--no-qr") {
            no_qr = true;
        } else {
            return usage_error("unknown connect argument '" + o + "'");
        }
        if (!ok) return usage_error("option " + o + " needs a value");
    }
    if (qr_given && no_qr) return usage_error("--qr and --no-qr exclude each other");
    if (!qr_given && !no_qr) qr = push;
    std::vector<std::string> rows;
    if (!no_qr && !qr.empty()) {
        std::string err;
        rows = ctl_qr_rows(qr, &err);
        if (rows.empty()) return usage_error(err);
    }
    return write_file(c, CtlFile::connect, ctl_connect_text(ssid, push, rows));
}

int cmd_tune(const Ctl &c, const std::vector<std::string> &a) {
    std::vector<std::string> pairs(a.begin() + 1, a.end());
    bool reset = false;
    if (!pairs.empty() && pairs[0] == "--reset") {
        reset = true;
        pairs.erase(pairs.begin());
    }
    if (pairs.empty()) return usage_error("tune needs KEY=VALUE items");
    const std::string path = ctl_path(CtlFile::tuning, c.dir);
    std::string current;
    if (!reset) ctl_read_small(path, 64 * 1024, &current);
    return write_file(c, CtlFile::tuning, ctl_tuning_text(current, pairs));
}

int cmd_status(const Ctl &c, const std::vector<std::string> &a) {
    long max_age = 5000;
    for (size_t i = 1; i < a.size(); i++) {
        std::string v;
        if (a[i] != "--max-age") return usage_error("unknown status argument '" + a[i] + "'");
        if (!option_value(a, &i, &v) || !ctl_parse_int(v, 0, 86400000, &max_age))
            return usage_error("--max-age needs milliseconds, 0..86400000");
    }
    const std::string state_path = ctl_path(CtlFile::state, c.dir);
    std::string text;
    struct stat st;
    if (!ctl_read_small(state_path, 4096, &text) || stat(state_path.c_str(), &st) != 0) {
        fprintf(stderr, "vexctl: no state in %s (is vex-mpp running?)\n", state_path.c_str());
        return exit_failed;
    }
    const CtlState s = ctl_parse_state(text);
    if (!s.ok) {
        fprintf(stderr, "vexctl: %s does not hold a state line\n", state_path.c_str());
        return exit_failed;
    }
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const long long age_ms = (long long)(now.tv_sec - st.st_mtim.tv_sec) * 1000 +
                             (now.tv_nsec - st.st_mtim.tv_nsec) / 1000000;
    const bool fresh = age_ms <= max_age;
    printf("state=%s\nage_ms=%lld\nfresh=%s\ndec=%lld\nshown=%lld\nreopens=%lld\n", s.state.c_str(),
           age_ms, fresh ? "yes" : "no", s.dec, s.shown, s.reopens);
    std::string mode;
    if (ctl_read_small(ctl_path(CtlFile::mode, c.dir), 256, &mode)) {
        mode = mode.substr(0, mode.find_first_of("\r\n"));
        printf("mode=%s\n", mode.c_str());
    }
    if (!fresh)
        fprintf(stderr,
                "vexctl: the state is %lld ms old (more than %ld): vex-mpp is stalled or gone\n",
                age_ms, max_age);
    return fresh ? exit_ok : exit_failed;
}

} // namespace

int main(int argc, char **argv) {
    Ctl c;
    std::vector<std::string> a;
    int i = 1;
    for (; i < argc; i++) {
        const std::string o = argv[i];
        if (o == "--help" || o == "-h") {
            fputs(usage_text, stdout);
            return exit_ok;
        }
        if (o == "--dir") {
            if (i + 1 >= argc || !argv[i + 1][0])
                return usage_error("option --dir needs a directory");
            c.dir = argv[++i];
        } else if (o.size() > 1 && o[0] == '-') {
            return usage_error("unknown option '" + o + "'");
        } else {
            break;
        }
    }
    for (; i < argc; i++) a.push_back(argv[i]);
    if (a.empty()) return usage_error("no command given");
    for (const std::string &s : a)
        if (s == "--help") {
            fputs(usage_text, stdout);
            return exit_ok;
        }

    const std::string &cmd = a[0];
    if (cmd == "menu") return cmd_menu(c, a);
    if (cmd == "message") {
        if (a.size() < 2) return usage_error("message needs a text");
        return write_file(c, CtlFile::menu, ctl_message_text(join(a, 1)));
    }
    if (cmd == "osd") return cmd_osd(c, a);
    if (cmd == "telemetry") {
        if (a.size() == 2 && a[1] == "clear") return remove_file(c, CtlFile::telemetry);
        if (a.size() < 2) return usage_error("telemetry needs KEY=VALUE items or 'clear'");
        return write_file(c, CtlFile::telemetry,
                          ctl_telemetry_text(std::vector<std::string>(a.begin() + 1, a.end())));
    }
    if (cmd == "connect") return cmd_connect(c, a);
    if (cmd == "tune") return cmd_tune(c, a);
    if (cmd == "detect") {
        if (a.size() != 2) return usage_error("detect needs 'on' or 'off'");
        return write_file(c, CtlFile::detect, ctl_detect_text(a[1]));
    }
    if (cmd == "snapshot") {
        if (a.size() != 1) return usage_error("snapshot takes no arguments");
        CtlText t;
        t.ok = true;
        return write_file(c, CtlFile::snapshot, t);
    }
    if (cmd == "status") return cmd_status(c, a);
    return usage_error("unknown command '" + cmd + "'");
}
