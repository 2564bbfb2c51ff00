// Which of the two Linux providers serves: Wayland where a compositor is named, X11
// otherwise; VISTREL_BACKEND overrides.
#pragma once

#include <string>

namespace vistrel::linux_provider {

enum class Backend { kX11, kWayland };

struct BackendChoice {
    Backend backend = Backend::kX11;
    std::string error;  // set when VISTREL_BACKEND names no provider
};

// From the values of VISTREL_BACKEND, WAYLAND_DISPLAY and DISPLAY (null when unset).
BackendChoice choose_backend(const char* backend, const char* wayland_display, const char* display);

// The choice for this process's environment as it is now.
BackendChoice current_backend();

}  // namespace vistrel::linux_provider
