// 2D textures in CPU memory: a description and a shared image, so CopyResource costs
// what a GPU copy costs the CPU on Windows (nearly nothing).
#pragma once

#include <mutex>

#include "platform/posix/com_object.h"
#include "platform/posix/surface.h"

namespace vistrel::posix {

class Texture final : public ComObject<ID3D11Texture2D, ID3D11Resource, ID3D11DeviceChild> {
public:
    Texture(const D3D11_TEXTURE2D_DESC& desc, SurfacePtr content) : desc_(desc), content_(std::move(content)) {}

    void STDMETHODCALLTYPE GetDesc(D3D11_TEXTURE2D_DESC* desc) override { *desc = desc_; }

    const D3D11_TEXTURE2D_DESC& desc() const { return desc_; }
    SurfacePtr content() const {
        std::lock_guard lock(mutex_);
        return content_;
    }
    void set_content(SurfacePtr content) {
        std::lock_guard lock(mutex_);
        content_ = std::move(content);
    }
    // The image to read, kept alive until unmap; null when memory is short.
    SurfacePtr map();
    void unmap();

private:
    const D3D11_TEXTURE2D_DESC desc_;
    mutable std::mutex mutex_;
    SurfacePtr content_;
    SurfacePtr mapped_;
};

// The desktop image of an acquired frame; answers QueryInterface(ID3D11Texture2D).
IDXGIResource* new_desktop_resource(SurfacePtr image);

// D3D11CreateDevice for a provider whose frames live in CPU memory: `own_adapter` says
// whether the adapter is the provider's; `no_sharing` is the text of the refusal of GPU
// sharing.
HRESULT create_cpu_device(bool own_adapter, D3D_DRIVER_TYPE driver_type, const D3D_FEATURE_LEVEL* feature_levels,
                          UINT feature_level_count, UINT sdk_version, ID3D11Device** device,
                          D3D_FEATURE_LEVEL* feature_level, ID3D11DeviceContext** immediate_context,
                          const char* no_sharing);

}  // namespace vistrel::posix
