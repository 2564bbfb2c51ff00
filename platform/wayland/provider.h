// The provider's answers to the Windows entry points, under names of its own (the Linux
// provider chooses between it and X11 at run time).
#pragma once

#include <optional>
#include <string>

#include "platform/dxgi.h"

namespace vistrel::wayland {

HRESULT create_factory(REFIID riid, void** out);  // CreateDXGIFactory1
HRESULT create_device(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driver_type, const D3D_FEATURE_LEVEL* feature_levels,
                      UINT feature_level_count, UINT sdk_version, ID3D11Device** device,
                      D3D_FEATURE_LEVEL* feature_level, ID3D11DeviceContext** immediate_context);  // D3D11CreateDevice
// Whether `adapter` is one of this provider's.
bool is_wayland_adapter(IDXGIAdapter* adapter);
// The portal restore token of the provider's outputs and duplications (ignored for, and
// nullopt from, any other object).
void set_restore_token(IDXGIOutput1* output, const std::optional<std::string>& token);
std::optional<std::string> restore_token_of(IDXGIOutputDuplication* duplication);

}  // namespace vistrel::wayland
