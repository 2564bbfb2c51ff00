/* Test-only, preloaded into the portal's wlroots backend: that backend refuses to cast an
 * output unless the compositor offers a DMA-BUF format, which a GPU-less compositor never
 * does. Each screencopy `buffer` event is therefore repeated as a `linux_dmabuf` event of
 * the same size; the backend then settles for shared memory. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

struct wl_proxy;
const char *wl_proxy_get_class(struct wl_proxy *proxy);

typedef void (*buffer_fn)(void *, struct wl_proxy *, uint32_t, uint32_t, uint32_t, uint32_t);
typedef void (*dmabuf_fn)(void *, struct wl_proxy *, uint32_t, uint32_t, uint32_t);

/* zwlr_screencopy_frame_v1's events, in protocol order. */
struct frame_listener {
    buffer_fn buffer;
    void (*flags)(void *, struct wl_proxy *, uint32_t);
    void (*ready)(void *, struct wl_proxy *, uint32_t, uint32_t, uint32_t);
    void (*failed)(void *, struct wl_proxy *);
    void (*damage)(void *, struct wl_proxy *, uint32_t, uint32_t, uint32_t, uint32_t);
    dmabuf_fn linux_dmabuf;
    void (*buffer_done)(void *, struct wl_proxy *);
};

/* The backend keeps a handful of frames alive at once; a ring of the originals, by proxy. */
#define SLOTS 64
static struct {
    struct wl_proxy *proxy;
    const struct frame_listener *original;
} slots[SLOTS];
static unsigned next_slot;

static const struct frame_listener *original_of(struct wl_proxy *proxy) {
    for (unsigned i = 0; i < SLOTS; ++i)
        if (slots[i].proxy == proxy) return slots[i].original;
    return 0;
}

static uint32_t drm_format(uint32_t shm_format) {
    if (shm_format == 0) return 0x34325241; /* ARGB8888 */
    if (shm_format == 1) return 0x34325258; /* XRGB8888 */
    return shm_format;                      /* the other codes are fourccs already */
}

static void on_buffer(void *data, struct wl_proxy *proxy, uint32_t format, uint32_t width, uint32_t height,
                      uint32_t stride) {
    const struct frame_listener *original = original_of(proxy);
    if (!original) return;
    if (original->buffer) original->buffer(data, proxy, format, width, height, stride);
    if (original->linux_dmabuf) original->linux_dmabuf(data, proxy, drm_format(format), width, height);
}

#define FORWARD(name, params, args)                                      \
    static void on_##name params {                                       \
        const struct frame_listener *original = original_of(proxy);      \
        if (original && original->name) original->name args;             \
    }
FORWARD(flags, (void *data, struct wl_proxy *proxy, uint32_t f), (data, proxy, f))
FORWARD(ready, (void *data, struct wl_proxy *proxy, uint32_t a, uint32_t b, uint32_t c), (data, proxy, a, b, c))
FORWARD(failed, (void *data, struct wl_proxy *proxy), (data, proxy))
FORWARD(damage, (void *data, struct wl_proxy *proxy, uint32_t x, uint32_t y, uint32_t w, uint32_t h),
        (data, proxy, x, y, w, h))
FORWARD(buffer_done, (void *data, struct wl_proxy *proxy), (data, proxy))

/* The compositor's own linux_dmabuf events (there are none here) are dropped: the repeat
 * above stands for them. */
static void on_linux_dmabuf(void *data, struct wl_proxy *proxy, uint32_t f, uint32_t w, uint32_t h) {
    (void)data, (void)proxy, (void)f, (void)w, (void)h;
}

static const struct frame_listener wrapper = {on_buffer, on_flags, on_ready, on_failed,
                                              on_damage, on_linux_dmabuf, on_buffer_done};

int wl_proxy_add_listener(struct wl_proxy *proxy, void (**implementation)(void), void *data) {
    static int (*real)(struct wl_proxy *, void (**)(void), void *);
    if (!real) real = (int (*)(struct wl_proxy *, void (**)(void), void *))dlsym(RTLD_NEXT, "wl_proxy_add_listener");
    if (strcmp(wl_proxy_get_class(proxy), "zwlr_screencopy_frame_v1") == 0) {
        unsigned slot = SLOTS;
        for (unsigned i = 0; i < SLOTS; ++i)
            if (slots[i].proxy == proxy) slot = i;
        if (slot == SLOTS) slot = next_slot++ % SLOTS;
        slots[slot].proxy = proxy;
        slots[slot].original = (const struct frame_listener *)implementation;
        implementation = (void (**)(void))&wrapper;
    }
    return real(proxy, implementation, data);
}
