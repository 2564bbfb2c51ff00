#include "platform/posix/texture.h"

namespace vistrel::posix {

SurfacePtr Texture::map() {
    std::lock_guard lock(mutex_);
    if (!content_) content_ = blank();
    mapped_ = content_;
    return mapped_;
}

void Texture::unmap() {
    std::lock_guard lock(mutex_);
    mapped_.reset();
}

HRESULT DesktopResource::query_other(REFIID riid, void** object) {
    if (!(riid == iid_of<ID3D11Texture2D>() || riid == iid_of<ID3D11Resource>())) return E_NOINTERFACE;
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = image_->width();
    desc.Height = image_->height();
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = format_;
    desc.SampleDesc = {1, 0};
    desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
    auto* texture = new Texture(desc, image_);
    *object = riid == iid_of<ID3D11Texture2D>() ? static_cast<void*>(static_cast<ID3D11Texture2D*>(texture))
                                                : static_cast<void*>(static_cast<ID3D11Resource*>(texture));
    return S_OK;
}

void Context::CopyResource(ID3D11Resource* destination, ID3D11Resource* source) {
    auto* to = dynamic_cast<Texture*>(destination);
    auto* from = dynamic_cast<Texture*>(source);
    if (!to || !from || to == from) return;
    const auto &a = to->desc(), &b = from->desc();
    // Like the GPU: a copy between textures of different size or format does nothing.
    if (a.Width != b.Width || a.Height != b.Height || a.Format != b.Format) return;
    to->set_content(from->content());
}

HRESULT Context::Map(ID3D11Resource* resource, UINT subresource, D3D11_MAP map_type, UINT,
                     D3D11_MAPPED_SUBRESOURCE* mapped) {
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

void Context::Unmap(ID3D11Resource* resource, UINT) {
    if (auto* texture = dynamic_cast<Texture*>(resource)) texture->unmap();
}

HRESULT Device::CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc, const D3D11_SUBRESOURCE_DATA*,
                                ID3D11Texture2D** texture) {
    *texture = nullptr;
    if (!desc || desc->Width == 0 || desc->Height == 0 || desc->Format != DXGI_FORMAT_B8G8R8A8_UNORM)
        return E_INVALIDARG;
    return make_texture(*desc, texture);
}

HRESULT Device::make_texture(const D3D11_TEXTURE2D_DESC& desc, ID3D11Texture2D** texture) {
    *texture = new Texture(desc, nullptr);
    return S_OK;
}

HRESULT check_device_request(bool own_adapter, bool has_11_0, D3D_DRIVER_TYPE driver_type,
                             const D3D_FEATURE_LEVEL* feature_levels, UINT feature_level_count, UINT sdk_version) {
    if (!own_adapter || driver_type != D3D_DRIVER_TYPE_UNKNOWN || sdk_version != D3D11_SDK_VERSION) return E_INVALIDARG;
    bool wants_11_0 = false;
    for (UINT i = 0; feature_levels && i < feature_level_count; ++i)
        wants_11_0 = wants_11_0 || feature_levels[i] == D3D_FEATURE_LEVEL_11_0;
    return wants_11_0 && has_11_0 ? S_OK : DXGI_ERROR_UNSUPPORTED;
}

IDXGIResource* new_desktop_resource(SurfacePtr image) { return new DesktopResource(std::move(image)); }

}  // namespace vistrel::posix
