// The provider's answers to the Windows entry points, under names of its own, so one
// module can carry it beside another provider and choose at run time.
#pragma once

#include "platform/dxgi.h"

namespace vistrel::x11 {

HRESULT create_factory(REFIID riid, void** out);  // CreateDXGIFactory1
HRESULT create_device(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driver_type, const D3D_FEATURE_LEVEL* feature_levels,
                      UINT feature_level_count, UINT sdk_version, ID3D11Device** device,
                      D3D_FEATURE_LEVEL* feature_level, ID3D11DeviceContext** immediate_context);  // D3D11CreateDevice
BOOL get_cursor_info(CURSORINFO* info);                                                            // GetCursorInfo

}  // namespace vistrel::x11
