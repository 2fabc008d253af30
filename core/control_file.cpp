#include "core/control_file.h"

#include <sys/stat.h>

ControlPoll poll_control_file(const char *path, timespec *mtime, FILE **file) {
    struct stat st;
    if (stat(path, &st) != 0) return ControlPoll::missing;
    if (st.st_mtim.tv_sec == mtime->tv_sec && st.st_mtim.tv_nsec == mtime->tv_nsec)
        return ControlPoll::unchanged;
    *mtime = st.st_mtim;
    *file = fopen(path, "r");
    return *file ? ControlPoll::opened : ControlPoll::unchanged;
}
