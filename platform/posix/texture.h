// Direct3D 11 in CPU memory: 2D textures holding a shared image, so CopyResource costs
// what a GPU copy costs the CPU on Windows (nearly nothing), and the device, immediate
// context and desktop resources that make and move them. A provider that watches its
// calls (the simulated machine) derives from these and calls through.
#pragma once

#include <mutex>

#include "platform/posix/com_object.h"
#include "platform/posix/surface.h"

namespace vistrel::posix {

class Texture : public ComObject<ID3D11Texture2D, ID3D11Resource, ID3D11DeviceChild> {
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

protected:
    const char* trace_name() const override { return "ID3D11Texture2D"; }
    // What a texture nothing was copied into reads as.
    virtual SurfacePtr blank() const { return blank_surface(desc_.Width, desc_.Height); }

private:
    const D3D11_TEXTURE2D_DESC desc_;
    mutable std::mutex mutex_;
    SurfacePtr content_;
    SurfacePtr mapped_;
};

// An acquired frame's desktop image; queried for its texture.
class DesktopResource : public ComObject<IDXGIResource, IDXGIDeviceSubObject, IDXGIObject> {
public:
    explicit DesktopResource(SurfacePtr image, DXGI_FORMAT format = DXGI_FORMAT_B8G8R8A8_UNORM)
        : image_(std::move(image)), format_(format) {}

protected:
    HRESULT query_other(REFIID riid, void** object) override;

private:
    SurfacePtr image_;
    DXGI_FORMAT format_;
};

class Context : public ComObject<ID3D11DeviceContext, ID3D11DeviceChild> {
public:
    void STDMETHODCALLTYPE CopyResource(ID3D11Resource* destination, ID3D11Resource* source) override;
    HRESULT STDMETHODCALLTYPE Map(ID3D11Resource* resource, UINT subresource, D3D11_MAP map_type, UINT map_flags,
                                  D3D11_MAPPED_SUBRESOURCE* mapped) override;
    void STDMETHODCALLTYPE Unmap(ID3D11Resource* resource, UINT subresource) override;

protected:
    const char* trace_name() const override { return "ID3D11DeviceContext"; }
};

class Device : public ComObject<ID3D11Device> {
public:
    HRESULT STDMETHODCALLTYPE CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc, const D3D11_SUBRESOURCE_DATA* initial,
                                              ID3D11Texture2D** texture) override;

protected:
    const char* trace_name() const override { return "ID3D11Device"; }
    // The texture of a description already checked; a device that cannot share textures
    // refuses the sharing flags here.
    virtual HRESULT make_texture(const D3D11_TEXTURE2D_DESC& desc, ID3D11Texture2D** texture);
};

// D3D11CreateDevice's answer to a request before any device is made: E_INVALIDARG for an
// adapter not the provider's (`own_adapter`), a driver type or an SDK version the request
// cannot have; DXGI_ERROR_UNSUPPORTED unless feature level 11_0 is asked for and
// `has_11_0`; S_OK otherwise.
HRESULT check_device_request(bool own_adapter, bool has_11_0, D3D_DRIVER_TYPE driver_type,
                             const D3D_FEATURE_LEVEL* feature_levels, UINT feature_level_count, UINT sdk_version);

// The desktop image of an acquired frame, in the desktop's own format.
IDXGIResource* new_desktop_resource(SurfacePtr image);

}  // namespace vistrel::posix
