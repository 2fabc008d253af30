#include "core/control_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/log.h"

namespace {

constexpr unsigned warned_not_regular = 1, warned_long = 2, warned_read = 4;

void warn_once(ControlFile *file, unsigned bit, const char *path, const char *what,
               const char *detail = "") {
    if (file->warned & bit) return;
    file->warned |= bit;
    vlog("control file %s %s%s", path, what, detail);
}

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

} // namespace

ControlPoll poll_control_file(const char *path, ControlFile *file, ControlText *text) {
    struct stat st;
    if (stat(path, &st) != 0) return ControlPoll::missing;
    if (st.st_mtim.tv_sec == file->mtime.tv_sec && st.st_mtim.tv_nsec == file->mtime.tv_nsec)
        return ControlPoll::unchanged;
    file->mtime = st.st_mtim;
    if (!S_ISREG(st.st_mode)) {
        warn_once(file, warned_not_regular, path, "is not a regular file: ignored");
        return ControlPoll::unchanged;
    }
    Fd f{open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (f.fd < 0) return ControlPoll::unchanged;
    if (fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        warn_once(file, warned_not_regular, path, "is not a regular file: ignored");
        return ControlPoll::unchanged;
    }
    size_t len = 0;
    while (len < control_file_max) {
        const ssize_t n = read(f.fd, text->data + len, control_file_max - len);
        if (n > 0) {
            len += (size_t)n;
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            warn_once(file, warned_read, path, "cannot be read: ", strerror(errno));
            return ControlPoll::unchanged;
        }
    }
    if (len == control_file_max) {
        char more;
        if (read(f.fd, &more, 1) == 1)
            warn_once(file, warned_long, path, "is longer than 65536 bytes: the rest is ignored");
    }
    text->len = len;
    text->data[len] = '\0';
    return ControlPoll::changed;
}

bool ControlLines::next(char *line, size_t size) {
    if (p >= end || size < 2) return false;
    size_t n = 0;
    while (p < end && n < size - 1) {
        const char c = *p++;
        line[n++] = c;
        if (c == '\n') break;
    }
    line[n] = '\0';
    return true;
}
