// The Direct3D 11 device of the CPU-memory providers, its immediate context and the
// frames' desktop resources.
#include "platform/posix/error_info.h"
#include "platform/posix/texture.h"

namespace vistrel::posix {

SurfacePtr Texture::map() {
    std::lock_guard lock(mutex_);
    if (!content_) content_ = blank_surface(desc_.Width, desc_.Height);
    mapped_ = content_;
    return mapped_;
}

void Texture::unmap() {
    std::lock_guard lock(mutex_);
    mapped_.reset();
}

namespace {

D3D11_TEXTURE2D_DESC image_desc(const Surface& image) {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = image.width();
    desc.Height = image.height();
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc = {1, 0};
    desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
    return desc;
}

class DesktopResource final : public ComObject<IDXGIResource, IDXGIDeviceSubObject, IDXGIObject> {
public:
    explicit DesktopResource(SurfacePtr image) : image_(std::move(image)) {}

protected:
    HRESULT query_other(REFIID riid, void** object) override {
        if (!(riid == iid_of<ID3D11Texture2D>() || riid == iid_of<ID3D11Resource>())) return E_NOINTERFACE;
        auto* texture = new Texture(image_desc(*image_), image_);
        *object = riid == iid_of<ID3D11Texture2D>() ? static_cast<void*>(static_cast<ID3D11Texture2D*>(texture))
                                                    : static_cast<void*>(static_cast<ID3D11Resource*>(texture));
        return S_OK;
    }

private:
    SurfacePtr image_;
};

class Context final : public ComObject<ID3D11DeviceContext, ID3D11DeviceChild> {
public:
    void STDMETHODCALLTYPE CopyResource(ID3D11Resource* destination, ID3D11Resource* source) override {
        auto* to = dynamic_cast<Texture*>(destination);
        auto* from = dynamic_cast<Texture*>(source);
        if (!to || !from || to == from) return;
        const auto &a = to->desc(), &b = from->desc();
        // Like the GPU: a copy between textures of different size or format does nothing.
        if (a.Width != b.Width || a.Height != b.Height || a.Format != b.Format) return;
        to->set_content(from->content());
    }

    HRESULT STDMETHODCALLTYPE Map(ID3D11Resource* resource, UINT subresource, D3D11_MAP map_type, UINT,
                                  D3D11_MAPPED_SUBRESOURCE* mapped) override {
        auto* texture = dynamic_cast<Texture*>(resource);
        if (!texture || subresource != 0 || map_type != D3D11_MAP_READ || !mapped ||
            !(texture->desc().CPUAccessFlags & D3D11_CPU_ACCESS_READ))
            return E_INVALIDARG;
        SurfacePtr surface = texture->map();
        if (!surface) return E_OUTOFMEMORY;
        mapped->pData = surface->data();
        mapped->RowPitch = surface->pitch();
        mapped->DepthPitch = surface->pitch() * surface->height();
        return S_OK;
    }

    void STDMETHODCALLTYPE Unmap(ID3D11Resource* resource, UINT) override {
        if (auto* texture = dynamic_cast<Texture*>(resource)) texture->unmap();
    }
};

class Device final : public ComObject<ID3D11Device> {
public:
    explicit Device(const char* no_sharing) : no_sharing_(no_sharing) {}

    HRESULT STDMETHODCALLTYPE CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc, const D3D11_SUBRESOURCE_DATA*,
                                              ID3D11Texture2D** texture) override {
        *texture = nullptr;
        if (!desc || desc->Width == 0 || desc->Height == 0 || desc->Format != DXGI_FORMAT_B8G8R8A8_UNORM)
            return E_INVALIDARG;
        if (desc->MiscFlags & (D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX | D3D11_RESOURCE_MISC_SHARED_NTHANDLE))
            return fail_with(DXGI_ERROR_UNSUPPORTED, no_sharing_);
        *texture = new Texture(*desc, nullptr);
        return S_OK;
    }

private:
    const char* no_sharing_;
};

}  // namespace

IDXGIResource* new_desktop_resource(SurfacePtr image) { return new DesktopResource(std::move(image)); }

HRESULT create_cpu_device(bool own_adapter, D3D_DRIVER_TYPE driver_type, const D3D_FEATURE_LEVEL* feature_levels,
                          UINT feature_level_count, UINT sdk_version, ID3D11Device** device,
                          D3D_FEATURE_LEVEL* feature_level, ID3D11DeviceContext** immediate_context,
                          const char* no_sharing) {
    if (device) *device = nullptr;
    if (immediate_context) *immediate_context = nullptr;
    if (!own_adapter || driver_type != D3D_DRIVER_TYPE_UNKNOWN || sdk_version != D3D11_SDK_VERSION) return E_INVALIDARG;
    bool wants_11_0 = false;
    for (UINT i = 0; feature_levels && i < feature_level_count; ++i)
        wants_11_0 = wants_11_0 || feature_levels[i] == D3D_FEATURE_LEVEL_11_0;
    if (!wants_11_0) return DXGI_ERROR_UNSUPPORTED;
    if (feature_level) *feature_level = D3D_FEATURE_LEVEL_11_0;
    if (device) *device = new Device(no_sharing);
    if (immediate_context) *immediate_context = new Context();
    return S_OK;
}

}  // namespace vistrel::posix
