// 2D textures in CPU memory: a description and a shared image, so CopyResource costs
// what a GPU copy costs the CPU on Windows (nearly nothing).
#pragma once

#include <mutex>

#include "platform/posix/com_object.h"
#include "platform/x11/surface.h"

namespace vistrel::x11 {

class Texture final : public posix::ComObject<ID3D11Texture2D, ID3D11Resource, ID3D11DeviceChild> {
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

}  // namespace vistrel::x11
