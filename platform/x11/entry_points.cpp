// The Windows entry points of a module whose only provider is X11.
#include "platform/x11/provider.h"

HRESULT CreateDXGIFactory1(REFIID riid, void** out) { return vistrel::x11::create_factory(riid, out); }

HRESULT D3D11CreateDevice(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driver_type, void*, UINT,
                          const D3D_FEATURE_LEVEL* feature_levels, UINT feature_level_count, UINT sdk_version,
                          ID3D11Device** device, D3D_FEATURE_LEVEL* feature_level,
                          ID3D11DeviceContext** immediate_context) {
    return vistrel::x11::create_device(adapter, driver_type, feature_levels, feature_level_count, sdk_version, device,
                                       feature_level, immediate_context);
}

BOOL GetCursorInfo(CURSORINFO* info) { return vistrel::x11::get_cursor_info(info); }
