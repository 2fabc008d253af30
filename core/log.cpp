#include "core/log.h"

#include <cstdarg>
#include <cstdio>

void vlog(const char *fmt, ...) {
    char line[1024];
    int n = snprintf(line, sizeof line, "vex-mpp: ");
    va_list ap;
    va_start(ap, fmt);
    int m = vsnprintf(line + n, sizeof line - n - 1, fmt, ap);
    va_end(ap);
    if (m < 0) m = 0;
    n += m;
    if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
    line[n++] = '\n';
    fwrite(line, 1, n, stderr);
}

void vlog_flush() {
    fflush(stderr);
}
