#include "platform/x11/xcb_library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>

#include "platform/x11/reply_deadline.h"

namespace vistrel::x11 {
namespace {

struct Loaded {
    XcbApi api;
    std::string error;  // empty when every required library loaded
};

// The Debian package that ships `soname`: libfoo.so.N comes in libfooN.
std::string debian_package(const std::string& soname) {
    const std::size_t so = soname.find(".so.");
    if (so == std::string::npos) return soname;
    return soname.substr(0, so) + soname.substr(so + 4);
}

// dlopen with RTLD_LOCAL: the symbols never leak into the process's global scope.
void* open_library(const char* soname, std::string& error) {
    void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!handle && error.empty()) {
        const char* why = dlerror();
        error = std::string("cannot load ") + soname + " (Debian package " + debian_package(soname) + ")" +
                (why ? std::string(": ") + why : std::string());
    }
    return handle;
}

template <class F>
bool bind(void* library, const char* name, F& slot, std::string& error) {
    slot = reinterpret_cast<F>(dlsym(library, name));
    if (!slot && error.empty()) error = std::string("missing symbol ") + name;
    return slot != nullptr;
}

// What the bounded functions call once the server has answered.
decltype(&::xcb_request_check) g_raw_request_check = nullptr;
decltype(&::xcb_get_extension_data) g_raw_get_extension_data = nullptr;
decltype(&::xcb_prefetch_extension_data) g_raw_prefetch_extension_data = nullptr;

// A typed reply function, replaced by one that waits within the thread's deadline; any
// other function is left as it is.
template <class F>
struct BoundedReply {
    static void wrap(F&) {}
};
template <class R, class Cookie>
struct BoundedReply<R* (*)(xcb_connection_t*, Cookie, xcb_generic_error_t**)> {
    static R* call(xcb_connection_t* c, Cookie cookie, xcb_generic_error_t** error) {
        return static_cast<R*>(wait_for_reply(c, cookie.sequence, error));
    }
    static void wrap(R* (*&slot)(xcb_connection_t*, Cookie, xcb_generic_error_t**)) { slot = &call; }
};

xcb_generic_error_t* bounded_request_check(xcb_connection_t* c, xcb_void_cookie_t cookie) {
    if (sync_with_server(c)) return g_raw_request_check(c, cookie);  // answered: no wait left
    // No answer in time reads as a refusal, which every caller can handle.
    return static_cast<xcb_generic_error_t*>(std::calloc(1, sizeof(xcb_generic_error_t)));
}

const xcb_query_extension_reply_t* bounded_get_extension_data(xcb_connection_t* c, xcb_extension_t* extension) {
    g_raw_prefetch_extension_data(c, extension);  // asks once per connection, without waiting
    return sync_with_server(c) ? g_raw_get_extension_data(c, extension) : nullptr;
}

void bound_waits(XcbApi& api) {
#define VISTREL_XCB_BOUND(name) BoundedReply<decltype(api.name)>::wrap(api.name);
    VISTREL_XCB_FUNCTIONS(VISTREL_XCB_BOUND)
    VISTREL_XCB_SHM_FUNCTIONS(VISTREL_XCB_BOUND)
    VISTREL_XCB_DAMAGE_FUNCTIONS(VISTREL_XCB_BOUND)
    VISTREL_XCB_XFIXES_FUNCTIONS(VISTREL_XCB_BOUND)
    VISTREL_XCB_RANDR_FUNCTIONS(VISTREL_XCB_BOUND)
#undef VISTREL_XCB_BOUND
    g_raw_request_check = api.xcb_request_check;
    g_raw_get_extension_data = api.xcb_get_extension_data;
    g_raw_prefetch_extension_data = api.xcb_prefetch_extension_data;
    api.xcb_request_check = &bounded_request_check;
    api.xcb_get_extension_data = &bounded_get_extension_data;
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
    if (error.empty()) bound_waits(api);
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
