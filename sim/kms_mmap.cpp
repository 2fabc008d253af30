// mmap of the simulated card: the product maps a dumb buffer with
// mmap(card_fd, offset from DRM_IOCTL_MODE_MAP_DUMB) as on a real card. Every
// buffer object has its own memfd (so that a PRIME export of it is an ordinary
// dma-buf-like descriptor mapped at offset 0), so such a mapping is redirected
// to that memfd. Linked with --wrap=mmap (sim/CMakeLists.txt); every other
// mapping passes straight through.
#include "sim/kms_sim.h"
#include "sim/kms_state.h"

#include <atomic>
#include <sys/mman.h>
#include <unistd.h>

extern "C" void *__real_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off);

namespace {
std::atomic<long long> g_file_maps{0};
}

void *kms_own_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
    return __real_mmap(addr, len, prot, flags, fd, off);
}

long long sim_file_mmap_count() {
    return g_file_maps;
}

extern "C" void *__wrap_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
    if (fd < 0 || (flags & MAP_ANONYMOUS)) return __real_mmap(addr, len, prot, flags, fd, off);
    g_file_maps++;
    int bo_fd = -1;
    off_t bo_off = 0;
    int r = kms_mmap_resolve(fd, off, len, &bo_fd, &bo_off);
    if (r == 0) return __real_mmap(addr, len, prot, flags, fd, off);
    if (r < 0) return MAP_FAILED;
    void *p = __real_mmap(addr, len, prot, flags, bo_fd, bo_off);
    close(bo_fd);
    return p;
}
