// Shared libraries loaded by versioned soname at run time: the module links none of
// them, so it imports where they are missing and says which one is.
#pragma once

#include <dlfcn.h>

#include <string>
#include <type_traits>

namespace vistrel::wayland {

// A table of a library's functions, and why it could not be filled (empty when it was).
template <class Api>
struct LoadedLibrary {
    Api api;
    std::string error;

    // The table, or null with `why` set.
    const Api* get(std::string& why) const {
        if (!error.empty()) {
            why = error;
            return nullptr;
        }
        return &api;
    }
};

// Opens `soname` with its symbols kept out of the process's global scope and hands
// `bind_all` a binder, `bind(name, slot)`, that fills one slot of the table; the first
// missing symbol is named in the error. Never closed: live objects keep using it.
template <class Api, class BindAll>
LoadedLibrary<Api> load_library(const char* soname, BindAll bind_all) {
    LoadedLibrary<Api> loaded;
    void* library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = dlerror();
        loaded.error = std::string("cannot load ") + soname + (why ? std::string(": ") + why : "");
        return loaded;
    }
    auto bind = [&](const char* name, auto& slot) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(library, name));
        if (!slot && loaded.error.empty()) loaded.error = std::string(soname) + " lacks " + name;
    };
    bind_all(bind, loaded.api);
    return loaded;
}

}  // namespace vistrel::wayland
