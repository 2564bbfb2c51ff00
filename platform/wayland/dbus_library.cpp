#include "platform/wayland/dbus_library.h"

#include "platform/wayland/library_loader.h"

namespace vistrel::wayland {
namespace {

constexpr const char* kSoname = "libdbus-1.so.3";

struct Loaded {
    DbusApi api;
    std::string error;  // empty when the library and every symbol loaded
};

Loaded load() {
    Loaded loaded;
    void* library = open_library(kSoname, loaded.error);
    if (!library) return loaded;
#define VISTREL_DBUS_BIND(name) bind_symbol(library, kSoname, #name, loaded.api.name, loaded.error);
    VISTREL_DBUS_FUNCTIONS(VISTREL_DBUS_BIND)
#undef VISTREL_DBUS_BIND
    return loaded;
}

}  // namespace

const DbusApi* dbus_api(std::string& error) {
    static const Loaded loaded = load();  // thread-safe once
    if (!loaded.error.empty()) {
        error = loaded.error;
        return nullptr;
    }
    return &loaded.api;
}

}  // namespace vistrel::wayland
