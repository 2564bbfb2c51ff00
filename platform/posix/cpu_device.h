// The Direct3D 11 device of the providers whose frames live in CPU memory (X11, Wayland).
#pragma once

#include "platform/dxgi.h"

namespace vistrel::posix {

// D3D11CreateDevice for such a provider: `own_adapter` says whether the adapter is the
// provider's; `no_sharing` is the text of the refusal of GPU sharing.
HRESULT create_cpu_device(bool own_adapter, D3D_DRIVER_TYPE driver_type, const D3D_FEATURE_LEVEL* feature_levels,
                          UINT feature_level_count, UINT sdk_version, ID3D11Device** device,
                          D3D_FEATURE_LEVEL* feature_level, ID3D11DeviceContext** immediate_context,
                          const char* no_sharing);

}  // namespace vistrel::posix
