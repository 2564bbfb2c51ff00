#include "platform/wayland/pipewire_library.h"

#include "platform/wayland/library_loader.h"

namespace vistrel::wayland {
namespace {

constexpr const char* kSoname = "libpipewire-0.3.so.0";

struct Loaded {
    PipeWireApi api;
    std::string error;  // empty when the library and every symbol loaded
};

Loaded load() {
    Loaded loaded;
    void* library = open_library(kSoname, loaded.error);
    if (!library) return loaded;
#define VISTREL_PW_BIND(name) bind_symbol(library, kSoname, #name, loaded.api.name, loaded.error);
    VISTREL_PW_FUNCTIONS(VISTREL_PW_BIND)
#undef VISTREL_PW_BIND
    if (loaded.error.empty()) loaded.api.pw_init(nullptr, nullptr);
    return loaded;
}

}  // namespace

const PipeWireApi* pipewire_api(std::string& error) {
    static const Loaded loaded = load();  // thread-safe once
    if (!loaded.error.empty()) {
        error = loaded.error;
        return nullptr;
    }
    return &loaded.api;
}

}  // namespace vistrel::wayland
