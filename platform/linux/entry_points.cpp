// The Windows entry points of the Linux module, which carries the X11 and the Wayland
// providers and asks the environment at every factory which one serves. Objects made by
// one provider go back to it (a device is created on the adapter's own provider), so a
// change of environment never mixes them.
#include "platform/linux/backend_choice.h"
#include "platform/posix/error_info.h"
#include "platform/provider_name.h"
#include "platform/screen_cast.h"
#include "platform/wayland/provider.h"
#include "platform/x11/provider.h"

using vistrel::linux_provider::Backend;
using vistrel::linux_provider::current_backend;

HRESULT CreateDXGIFactory1(REFIID riid, void** out) {
    const auto choice = current_backend();
    if (!choice.error.empty()) {
        *out = nullptr;
        return vistrel::posix::fail_with(DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, choice.error);
    }
    return choice.backend == Backend::kWayland ? vistrel::wayland::create_factory(riid, out)
                                               : vistrel::x11::create_factory(riid, out);
}

HRESULT D3D11CreateDevice(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driver_type, void*, UINT,
                          const D3D_FEATURE_LEVEL* feature_levels, UINT feature_level_count, UINT sdk_version,
                          ID3D11Device** device, D3D_FEATURE_LEVEL* feature_level,
                          ID3D11DeviceContext** immediate_context) {
    auto* create =
        vistrel::wayland::is_wayland_adapter(adapter) ? &vistrel::wayland::create_device : &vistrel::x11::create_device;
    return create(adapter, driver_type, feature_levels, feature_level_count, sdk_version, device, feature_level,
                  immediate_context);
}

// A Wayland client cannot ask where the pointer is; the compositor draws it into frames.
BOOL GetCursorInfo(CURSORINFO* info) {
    return current_backend().backend == Backend::kX11 ? vistrel::x11::get_cursor_info(info) : FALSE;
}

namespace vistrel {

// Only Wayland objects take or give a token; the calls pass X11's by.
void set_cast_restore_token(IDXGIOutput1* output, const std::optional<std::string>& token) {
    wayland::set_restore_token(output, token);
}

std::optional<std::string> cast_restore_token(IDXGIOutputDuplication* duplication) {
    return wayland::restore_token_of(duplication);
}

const char* provider_name() { return current_backend().backend == Backend::kWayland ? "wayland" : "x11"; }

}  // namespace vistrel
