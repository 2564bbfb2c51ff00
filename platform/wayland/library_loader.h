// Shared libraries loaded by versioned soname at run time: the module links none of
// them, so it imports where they are missing and says which one is.
#pragma once

#include <dlfcn.h>

#include <string>
#include <type_traits>

namespace vistrel::wayland {

// Opens `soname` with its symbols kept out of the process's global scope; null with
// `error` filled when it cannot be loaded. Never closed: live objects keep using it.
inline void* open_library(const char* soname, std::string& error) {
    void* library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = dlerror();
        error = std::string("cannot load ") + soname + (why ? std::string(": ") + why : "");
    }
    return library;
}

// Fills `slot` with the symbol `name`; the first missing one is named in `error`.
template <class Slot>
void bind_symbol(void* library, const char* soname, const char* name, Slot& slot, std::string& error) {
    slot = reinterpret_cast<std::remove_reference_t<Slot>>(dlsym(library, name));
    if (!slot && error.empty()) error = std::string(soname) + " lacks " + name;
}

}  // namespace vistrel::wayland
