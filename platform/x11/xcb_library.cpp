#include "platform/x11/xcb_library.h"

#include <dlfcn.h>

#include <mutex>

namespace vistrel::x11 {
namespace {

struct Loaded {
    XcbApi api;
    std::string error;  // empty when every required library loaded
};

// dlopen with RTLD_LOCAL: the symbols never leak into the process's global scope.
void* open_library(const char* soname, std::string& error) {
    void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!handle && error.empty()) {
        const char* why = dlerror();
        error = std::string("cannot load ") + soname + (why ? std::string(": ") + why : std::string());
    }
    return handle;
}

template <class F>
bool bind(void* library, const char* name, F& slot, std::string& error) {
    slot = reinterpret_cast<F>(dlsym(library, name));
    if (!slot && error.empty()) error = std::string("missing symbol ") + name;
    return slot != nullptr;
}

Loaded load() {
    Loaded loaded;
    XcbApi& api = loaded.api;
    std::string& error = loaded.error;
    void* xcb = open_library("libxcb.so.1", error);
    void* shm = open_library("libxcb-shm.so.0", error);
    void* damage = open_library("libxcb-damage.so.0", error);
    void* xfixes = open_library("libxcb-xfixes.so.0", error);
    void* randr = open_library("libxcb-randr.so.0", error);
    if (!error.empty()) return loaded;
#define VISTREL_XCB_BIND(library) [&](const char* name, auto& slot) { bind(library, name, slot, error); }
#define VISTREL_XCB_LOAD_FROM(name) load_one(#name, api.name);
    {
        auto load_one = VISTREL_XCB_BIND(xcb);
        VISTREL_XCB_FUNCTIONS(VISTREL_XCB_LOAD_FROM)
    }
    {
        auto load_one = VISTREL_XCB_BIND(shm);
        VISTREL_XCB_SHM_FUNCTIONS(VISTREL_XCB_LOAD_FROM)
        bind(shm, "xcb_shm_id", api.shm_id, error);
    }
    {
        auto load_one = VISTREL_XCB_BIND(damage);
        VISTREL_XCB_DAMAGE_FUNCTIONS(VISTREL_XCB_LOAD_FROM)
        bind(damage, "xcb_damage_id", api.damage_id, error);
    }
    {
        auto load_one = VISTREL_XCB_BIND(xfixes);
        VISTREL_XCB_XFIXES_FUNCTIONS(VISTREL_XCB_LOAD_FROM)
        bind(xfixes, "xcb_xfixes_id", api.xfixes_id, error);
    }
    {
        auto load_one = VISTREL_XCB_BIND(randr);
        VISTREL_XCB_RANDR_FUNCTIONS(VISTREL_XCB_LOAD_FROM)
        bind(randr, "xcb_randr_id", api.randr_id, error);
    }
#undef VISTREL_XCB_LOAD_FROM
#undef VISTREL_XCB_BIND
    return loaded;
}

}  // namespace

const XcbApi* xcb_api(std::string& error) {
    static const Loaded loaded = load();  // thread-safe once
    if (!loaded.error.empty()) {
        error = loaded.error;
        return nullptr;
    }
    return &loaded.api;
}

}  // namespace vistrel::x11
