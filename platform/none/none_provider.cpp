// The provider of a non-Windows build without a desktop source: a machine with no
// adapters. The module imports and answers (empty lists, "device index 0 out of
// range") instead of failing to load.
#include "platform/com_ptr.h"

namespace {

class EmptyFactory final : public IDXGIFactory1 {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        *object = nullptr;
        if (!(riid == vistrel::iid_of<IDXGIFactory1>() || riid == vistrel::iid_of<IDXGIObject>() ||
              riid == vistrel::iid_of<IUnknown>()))
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IDXGIFactory1*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE EnumAdapters1(UINT, IDXGIAdapter1** out) override {
        *out = nullptr;
        return DXGI_ERROR_NOT_FOUND;
    }
};

EmptyFactory g_factory;  // stateless, so one for the process

}  // namespace

HRESULT CreateDXGIFactory1(REFIID riid, void** out) { return g_factory.QueryInterface(riid, out); }

// Never reached (there is no adapter to create a device on), but part of the surface.
HRESULT D3D11CreateDevice(IDXGIAdapter*, D3D_DRIVER_TYPE, void*, UINT, const D3D_FEATURE_LEVEL*, UINT, UINT,
                          ID3D11Device** device, D3D_FEATURE_LEVEL*, ID3D11DeviceContext** context) {
    if (device) *device = nullptr;
    if (context) *context = nullptr;
    return DXGI_ERROR_UNSUPPORTED;
}

BOOL GetCursorInfo(CURSORINFO*) { return FALSE; }

HRESULT GetErrorInfo(ULONG, IErrorInfo** error_info) {
    *error_info = nullptr;
    return S_FALSE;
}
