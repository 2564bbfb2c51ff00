#include "platform/wayland/client_library.h"

#include <dlfcn.h>

#include <type_traits>

namespace vistrel::wayland {
namespace {

struct Loaded {
    WaylandApi api;
    std::string error;  // empty when the library and every symbol loaded
};

Loaded load() {
    Loaded loaded;
    // RTLD_LOCAL: the symbols never leak into the process's global scope.
    void* library = dlopen("libwayland-client.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = dlerror();
        loaded.error = std::string("cannot load libwayland-client.so.0") + (why ? std::string(": ") + why : "");
        return loaded;
    }
    auto bind = [&](const char* name, auto& slot) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(library, name));
        if (!slot && loaded.error.empty()) loaded.error = std::string("libwayland-client.so.0 lacks ") + name;
    };
#define VISTREL_WL_BIND(name) bind(#name, loaded.api.name);
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
