#include "platform/posix/cpu_device.h"

#include "platform/posix/error_info.h"
#include "platform/posix/texture.h"

namespace vistrel::posix {
namespace {

// Frames in CPU memory have no GPU to share a texture through.
class CpuDevice final : public Device {
public:
    explicit CpuDevice(const char* no_sharing) : no_sharing_(no_sharing) {}

protected:
    HRESULT make_texture(const D3D11_TEXTURE2D_DESC& desc, ID3D11Texture2D** texture) override {
        if (desc.MiscFlags & (D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX | D3D11_RESOURCE_MISC_SHARED_NTHANDLE))
            return fail_with(DXGI_ERROR_UNSUPPORTED, no_sharing_);
        return Device::make_texture(desc, texture);
    }

private:
    const char* no_sharing_;
};

}  // namespace

HRESULT create_cpu_device(bool own_adapter, D3D_DRIVER_TYPE driver_type, const D3D_FEATURE_LEVEL* feature_levels,
                          UINT feature_level_count, UINT sdk_version, ID3D11Device** device,
                          D3D_FEATURE_LEVEL* feature_level, ID3D11DeviceContext** immediate_context,
                          const char* no_sharing) {
    if (device) *device = nullptr;
    if (immediate_context) *immediate_context = nullptr;
    if (HRESULT hr =
            check_device_request(own_adapter, true, driver_type, feature_levels, feature_level_count, sdk_version);
        FAILED(hr))
        return hr;
    if (feature_level) *feature_level = D3D_FEATURE_LEVEL_11_0;
    if (device) *device = new CpuDevice(no_sharing);
    if (immediate_context) *immediate_context = new Context();
    return S_OK;
}

}  // namespace vistrel::posix
