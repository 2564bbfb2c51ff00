#include "platform/linux/backend_choice.h"

#include <cstdlib>
#include <cstring>

namespace vistrel::linux_provider {

BackendChoice choose_backend(const char* backend, const char* wayland_display, const char* display) {
    if (backend && *backend) {
        if (std::strcmp(backend, "x11") == 0) return {Backend::kX11, {}};
        if (std::strcmp(backend, "wayland") == 0) return {Backend::kWayland, {}};
        return {Backend::kX11, std::string("VISTREL_BACKEND must be x11 or wayland, not '") + backend + "'"};
    }
    // A Wayland session usually runs XWayland too and sets both; X would see only the
    // XWayland windows there, so the compositor wins.
    if (wayland_display && *wayland_display) return {Backend::kWayland, {}};
    (void)display;  // without either, X11 says that DISPLAY is not set
    return {Backend::kX11, {}};
}

BackendChoice current_backend() {
    return choose_backend(std::getenv("VISTREL_BACKEND"), std::getenv("WAYLAND_DISPLAY"), std::getenv("DISPLAY"));
}

}  // namespace vistrel::linux_provider
