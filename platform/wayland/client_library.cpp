#include "platform/wayland/client_library.h"

#include "platform/wayland/library_loader.h"

namespace vistrel::wayland {
namespace {

constexpr const char* kSoname = "libwayland-client.so.0";

struct Loaded {
    WaylandApi api;
    std::string error;  // empty when the library and every symbol loaded
};

Loaded load() {
    Loaded loaded;
    void* library = open_library(kSoname, loaded.error);
    if (!library) return loaded;
#define VISTREL_WL_BIND(name) bind_symbol(library, kSoname, #name, loaded.api.name, loaded.error);
    VISTREL_WL_FUNCTIONS(VISTREL_WL_BIND)
    VISTREL_WL_INTERFACES(VISTREL_WL_BIND)
#undef VISTREL_WL_BIND
    return loaded;
}

}  // namespace

const WaylandApi* wayland_api(std::string& error) {
    static const Loaded loaded = load();  // thread-safe once
    if (!loaded.error.empty()) {
        error = loaded.error;
        return nullptr;
    }
    return &loaded.api;
}

}  // namespace vistrel::wayland
