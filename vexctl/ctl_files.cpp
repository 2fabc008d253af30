#include "vexctl/ctl_files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <qrencode.h>
#include <sys/stat.h>
#include <unistd.h>

std::string ctl_path(CtlFile f, const std::string &dir) {
    struct Entry {
        const char *name, *var;
        bool when_set; // the variable counts whenever set, even empty
    };
    static const Entry entries[] = {
        {"menu", "VEX_KMS_MENU", true},
        {"osd", "VEX_KMS_OSD", true},
        {"telemetry", "VEX_KMS_TELEMETRY", false},
        {"connect", "VEX_KMS_CONNECT", false},
        {"dewarp", "VEX_KMS_DEWARP_FILE", false},
        {"detect", "VEX_KMS_DETECT", true},
        {"snapshot", nullptr, false},
        {"hdmi_state", "VEX_KMS_STATE", false},
        {"hdmi_mode", nullptr, false},
    };
    const Entry &e = entries[(int)f];
    if (e.var) {
        const char *v = getenv(e.var);
        if (v && (e.when_set || v[0])) return v;
    }
    return dir + "/" + e.name;
}

namespace {

std::string sys_error(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + strerror(errno);
}

bool write_all(int fd, const std::string &text) {
    size_t off = 0;
    while (off < text.size()) {
        const ssize_t n = write(fd, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += (size_t)n;
    }
    return true;
}

} // namespace

std::string ctl_write_atomic(const std::string &path, const std::string &text) {
    std::string tmp = path + ".XXXXXX";
    const int fd = mkstemp(&tmp[0]);
    if (fd < 0) return sys_error("cannot create a temporary file beside", path);
    std::string err;
    if (fchmod(fd, 0644) != 0 || !write_all(fd, text)) err = sys_error("cannot write", tmp);
    // A replacement written in the same clock tick as the file it replaces
    // would carry the same modification time, and a poller would miss it.
    struct stat old_st, new_st;
    if (err.empty() && stat(path.c_str(), &old_st) == 0 && fstat(fd, &new_st) == 0 &&
        (new_st.st_mtim.tv_sec < old_st.st_mtim.tv_sec ||
         (new_st.st_mtim.tv_sec == old_st.st_mtim.tv_sec &&
          new_st.st_mtim.tv_nsec <= old_st.st_mtim.tv_nsec))) {
        timespec t[2] = {{0, UTIME_OMIT}, old_st.st_mtim};
        if (++t[1].tv_nsec >= 1000000000L) {
            t[1].tv_sec++;
            t[1].tv_nsec = 0;
        }
        if (futimens(fd, t) != 0) err = sys_error("cannot set the time of", tmp);
    }
    if (close(fd) != 0 && err.empty()) err = sys_error("cannot write", tmp);
    if (err.empty() && rename(tmp.c_str(), path.c_str()) != 0)
        err = sys_error("cannot rename " + tmp + " to", path);
    if (!err.empty()) unlink(tmp.c_str());
    return err;
}

std::string ctl_remove(const std::string &path) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return "";
    return sys_error("cannot remove", path);
}

bool ctl_read_small(const std::string &path, size_t cap, std::string *out) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (size_t)st.st_size <= cap;
    out->clear();
    while (ok) {
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        out->append(buf, (size_t)n);
        if (out->size() > cap) ok = false;
    }
    close(fd);
    return ok;
}

std::vector<std::string> ctl_qr_rows(const std::string &text, std::string *error) {
    std::vector<std::string> rows;
    if (text.empty()) {
        *error = "the QR text is empty";
        return rows;
    }
    QRcode *qr = QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_M);
    if (!qr) {
        *error = "the QR text (" + std::to_string(text.size()) + " bytes) cannot be encoded";
        return rows;
    }
    const int n = qr->width;
    for (int y = 0; y < n; y++) {
        std::string r((size_t)n, '.');
        for (int x = 0; x < n; x++)
            if (qr->data[y * n + x] & 1) r[(size_t)x] = '#';
        rows.push_back(std::move(r));
    }
    QRcode_free(qr);
    return rows;
}
