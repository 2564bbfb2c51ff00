// The rate at which the compositor hands out screencopy frames of its first output, with
// nothing else done to them: the limit any screencopy client can reach. Prints frames per
// second for `seconds` of copies; "damage" waits for changes as a change-driven grab does,
// "plain" takes every repaint.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/wayland/protocols.h"

namespace {

using namespace vistrel::wayland;

struct State {
    wl_shm* shm = nullptr;
    wl_proxy* manager = nullptr;
    wl_output* output = nullptr;
    std::uint32_t format = 0, width = 0, height = 0, stride = 0;
    bool described = false, ready = false, failed = false;
};

void on_global(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
    auto& s = *static_cast<State*>(data);
    if (!std::strcmp(interface, "wl_shm"))
        s.shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    else if (!std::strcmp(interface, kScreencopyManager.name))
        s.manager = static_cast<wl_proxy*>(wl_registry_bind(registry, name, &kScreencopyManager, 3));
    else if (!std::strcmp(interface, "wl_output") && !s.output)
        s.output = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, 1));
}
void on_global_remove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener kRegistry = {on_global, on_global_remove};

const ScreencopyFrameListener kFrame = {
    [](void* d, wl_proxy*, std::uint32_t format, std::uint32_t w, std::uint32_t h, std::uint32_t stride) {
        auto& s = *static_cast<State*>(d);
        s.format = format, s.width = w, s.height = h, s.stride = stride;
    },
    [](void*, wl_proxy*, std::uint32_t) {},
    [](void* d, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t) { static_cast<State*>(d)->ready = true; },
    [](void* d, wl_proxy*) { static_cast<State*>(d)->failed = true; },
    [](void*, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {},
    [](void*, wl_proxy*, std::uint32_t, std::uint32_t, std::uint32_t) {},
    [](void* d, wl_proxy*) { static_cast<State*>(d)->described = true; },
};

wl_buffer* shm_buffer(State& s) {
    const std::size_t size = std::size_t{s.stride} * s.height;
    const int fd = memfd_create("screencopy-limit", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) return nullptr;
    wl_shm_pool* pool = wl_shm_create_pool(s.shm, fd, static_cast<std::int32_t>(size));
    wl_buffer* buffer =
        wl_shm_pool_create_buffer(pool, 0, static_cast<std::int32_t>(s.width), static_cast<std::int32_t>(s.height),
                                  static_cast<std::int32_t>(s.stride), s.format);
    wl_shm_pool_destroy(pool);
    close(fd);
    return buffer;
}

}  // namespace

int main(int argc, char** argv) {
    const bool damage = argc > 1 && !std::strcmp(argv[1], "damage");
    const double seconds = argc > 2 ? std::atof(argv[2]) : 5.0;
    wl_display* display = wl_display_connect(nullptr);
    if (!display) return std::perror("wl_display_connect"), 1;
    State s;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistry, &s);
    wl_display_roundtrip(display);
    if (!s.shm || !s.manager || !s.output) return std::fputs("no screencopy here\n", stderr), 1;
    wl_buffer* buffer = nullptr;
    long frames = 0;
    const auto started = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };
    while (elapsed() < seconds) {
        auto* frame = wl_proxy_marshal_constructor(s.manager, request::kScreencopyCaptureOutput, &kScreencopyFrame,
                                                   nullptr, 0, s.output);
        wl_proxy_add_listener(frame, reinterpret_cast<void (**)()>(const_cast<ScreencopyFrameListener*>(&kFrame)), &s);
        s.described = s.ready = s.failed = false;
        while (!s.described && wl_display_dispatch(display) >= 0) {
        }
        if (!buffer && !(buffer = shm_buffer(s))) return std::fputs("no buffer\n", stderr), 1;
        wl_proxy_marshal(frame, damage ? request::kFrameCopyWithDamage : request::kFrameCopy, buffer);
        while (!s.ready && !s.failed && wl_display_dispatch(display) >= 0) {
        }
        wl_proxy_marshal(frame, request::kFrameDestroy);
        wl_proxy_destroy(frame);
        if (s.failed) return std::fputs("copy failed\n", stderr), 1;
        ++frames;
    }
    std::printf("%.2f\n", static_cast<double>(frames) / elapsed());
    wl_display_disconnect(display);
    return 0;
}
