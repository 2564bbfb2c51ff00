#include "platform/wayland/pipewire_library.h"

#include "platform/wayland/library_loader.h"

namespace vistrel::wayland {

const PipeWireApi* pipewire_api(std::string& error) {
    static const auto loaded = [] {
        auto library = load_library<PipeWireApi>("libpipewire-0.3.so.0", [](auto& bind, PipeWireApi& api) {
#define VISTREL_PW_BIND(name) bind(#name, api.name);
            VISTREL_PW_FUNCTIONS(VISTREL_PW_BIND)
#undef VISTREL_PW_BIND
        });
        if (library.error.empty()) library.api.pw_init(nullptr, nullptr);
        return library;
    }();  // thread-safe once
    return loaded.get(error);
}

}  // namespace vistrel::wayland
