#include "core/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/exit_status.h"

namespace {

void vlog_line(const char *fmt, va_list ap, const char *suffix) {
    char line[1024];
    int n = snprintf(line, sizeof line, "vex-mpp: ");
    int m = vsnprintf(line + n, sizeof line - n - 1, fmt, ap);
    if (m < 0) m = 0;
    n += m;
    if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
    if (suffix) {
        m = snprintf(line + n, sizeof line - n - 1, ": %s", suffix);
        if (m > 0) n += m;
        if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
    }
    line[n++] = '\n';
    fwrite(line, 1, n, stderr);
}

} // namespace

void vlog(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog_line(fmt, ap, nullptr);
    va_end(ap);
}

void vlog_errno(const char *fmt, ...) {
    const char *err = strerror(errno);
    va_list ap;
    va_start(ap, fmt);
    vlog_line(fmt, ap, err);
    va_end(ap);
}

void vlog_flush() {
    fflush(stderr);
}

void exit_process(ExitStatus status) {
    vlog_flush();
    exit((int)status);
}
