// libgbm on the simulated board: a GBM device on a simulated card's file
// descriptor, and buffer objects that are buffers of that card (memfd-backed,
// mappable, exported as dma-bufs and importable with drmModeAddFB2 like dumb
// buffers). Fault knobs: VEX_SIM_GBM_DEVICE_FAIL, VEX_SIM_GBM_BO_FAIL.
#include "sim/kms_state.h"
#include "sim/sim_env.h"
#include "sim/sim_gpu.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gbm.h>
#include <mutex>
#include <set>
#include <xf86drm.h>

struct gbm_device {
    int fd;
};

struct gbm_bo {
    gbm_device *dev;
    uint32_t width, height, format, stride, handle;
    void *user_data;
    void (*destroy_user_data)(gbm_bo *, void *);
};

namespace {

std::mutex &g_gbm_lock = *new std::mutex;
std::set<const void *> &g_devices = *new std::set<const void *>;
long long g_bo_creates;

bool knob_on(const char *name) {
    const char *v = getenv(name);
    return v && v[0] == '1';
}

} // namespace

bool sim_knob_lists(const char *name, long long n) {
    const char *v = getenv(name);
    while (v && *v) {
        char *end;
        const long long k = strtoll(v, &end, 10);
        if (end != v && k == n) return true;
        v = strchr(end, ',');
        if (v) v++;
    }
    return false;
}

bool sim_gbm_is_device(const void *p) {
    std::lock_guard<std::mutex> g(g_gbm_lock);
    return p && g_devices.count(p);
}

extern "C" {

gbm_device *gbm_create_device(int fd) {
    if (knob_on("VEX_SIM_GBM_DEVICE_FAIL")) {
        errno = ENODEV;
        return nullptr;
    }
    // Like libgbm, only a DRM device will do: here, a simulated card.
    if (!kms_file(fd)) return nullptr;
    gbm_device *d = new gbm_device{fd};
    std::lock_guard<std::mutex> g(g_gbm_lock);
    g_devices.insert(d);
    return d;
}

void gbm_device_destroy(gbm_device *d) {
    if (!d) return;
    {
        std::lock_guard<std::mutex> g(g_gbm_lock);
        g_devices.erase(d);
    }
    delete d;
}

int gbm_device_get_fd(gbm_device *d) {
    return d->fd;
}

int gbm_device_is_format_supported(gbm_device *, uint32_t format, uint32_t) {
    return format == GBM_FORMAT_XRGB8888 || format == GBM_FORMAT_ARGB8888 ||
           format == GBM_FORMAT_XBGR8888 || format == GBM_FORMAT_ABGR8888;
}

gbm_bo *gbm_bo_create(gbm_device *d, uint32_t width, uint32_t height, uint32_t format,
                      uint32_t flags) {
    long long n;
    {
        std::lock_guard<std::mutex> g(g_gbm_lock);
        n = ++g_bo_creates;
    }
    if (sim_knob_lists("VEX_SIM_GBM_BO_FAIL", n)) {
        errno = ENOMEM;
        return nullptr;
    }
    const uint32_t known = GBM_BO_USE_SCANOUT | GBM_BO_USE_CURSOR | GBM_BO_USE_RENDERING |
                           GBM_BO_USE_WRITE | GBM_BO_USE_LINEAR;
    if (!d || !width || !height || (flags & ~known) ||
        !gbm_device_is_format_supported(d, format, flags)) {
        errno = EINVAL;
        return nullptr;
    }
    uint32_t handle = 0, pitch = 0;
    uint64_t size = 0;
    if (int e = kms_create_gbm_bo(d->fd, width, height, 32, &handle, &pitch, &size)) {
        errno = e;
        return nullptr;
    }
    return new gbm_bo{d, width, height, format, pitch, handle, nullptr, nullptr};
}

void gbm_bo_destroy(gbm_bo *bo) {
    if (!bo) return;
    if (bo->destroy_user_data) bo->destroy_user_data(bo, bo->user_data);
    drmCloseBufferHandle(bo->dev->fd, bo->handle);
    delete bo;
}

int gbm_bo_get_fd(gbm_bo *bo) {
    int fd = -1;
    if (drmPrimeHandleToFD(bo->dev->fd, bo->handle, DRM_CLOEXEC | DRM_RDWR, &fd) != 0) return -1;
    return fd;
}

uint32_t gbm_bo_get_width(gbm_bo *bo) {
    return bo->width;
}
uint32_t gbm_bo_get_height(gbm_bo *bo) {
    return bo->height;
}
uint32_t gbm_bo_get_stride(gbm_bo *bo) {
    return bo->stride;
}
uint32_t gbm_bo_get_format(gbm_bo *bo) {
    return bo->format;
}
gbm_device *gbm_bo_get_device(gbm_bo *bo) {
    return bo->dev;
}
union gbm_bo_handle gbm_bo_get_handle(gbm_bo *bo) {
    union gbm_bo_handle h;
    h.u64 = 0;
    h.u32 = bo->handle;
    return h;
}
void gbm_bo_set_user_data(gbm_bo *bo, void *data, void (*destroy)(gbm_bo *, void *)) {
    bo->user_data = data;
    bo->destroy_user_data = destroy;
}
void *gbm_bo_get_user_data(gbm_bo *bo) {
    return bo->user_data;
}

} // extern "C"
