// The simulated Direct3D 11 device, its immediate context and textures.
#include "platform/sim/objects.h"
#include "platform/sim/runtime.h"

namespace vistrel::sim {

Texture::Texture(const D3D11_TEXTURE2D_DESC& desc, SurfacePtr content)
    : desc_(desc), keyed_mutex_(std::make_shared<KeyedMutexState>()), content_(std::move(content)) {}

bool Texture::shareable() const {
    return (desc_.MiscFlags & D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX) &&
           (desc_.MiscFlags & D3D11_RESOURCE_MISC_SHARED_NTHANDLE);
}

SurfacePtr Texture::content() const {
    std::lock_guard lock(mutex_);
    return content_;
}

void Texture::set_content(SurfacePtr content) {
    std::lock_guard lock(mutex_);
    content_ = std::move(content);
}

SurfacePtr Texture::map() {
    std::lock_guard lock(mutex_);
    if (!content_) content_ = Surface::blank(desc_.Width, desc_.Height);
    mapped_ = content_;
    return mapped_;
}

bool Texture::unmap() {
    std::lock_guard lock(mutex_);
    bool was_mapped = mapped_ != nullptr;
    mapped_.reset();
    return was_mapped;
}

Texture* as_texture(ID3D11Resource* resource) { return dynamic_cast<Texture*>(resource); }

namespace {

class Context final : public posix::ComObject<ID3D11DeviceContext, ID3D11DeviceChild> {
public:
    void STDMETHODCALLTYPE CopyResource(ID3D11Resource* destination, ID3D11Resource* source) override {
        record("ID3D11DeviceContext::CopyResource");
        Texture* to = as_texture(destination);
        Texture* from = as_texture(source);
        if (!to || !from || to == from) return;
        const auto& a = to->desc();
        const auto& b = from->desc();
        // Like the GPU: a copy between textures of different size or format does nothing.
        if (a.Width != b.Width || a.Height != b.Height || a.Format != b.Format) return;
        to->set_content(from->content());
    }

    HRESULT STDMETHODCALLTYPE Map(ID3D11Resource* resource, UINT subresource, D3D11_MAP map_type, UINT,
                                  D3D11_MAPPED_SUBRESOURCE* mapped) override {
        CallResult call = enter("ID3D11DeviceContext::Map");
        if (call.outcome == Outcome::Fail) return call.hresult;
        Texture* texture = as_texture(resource);
        if (!texture || subresource != 0 || map_type != D3D11_MAP_READ || !mapped ||
            !(texture->desc().CPUAccessFlags & D3D11_CPU_ACCESS_READ))
            return E_INVALIDARG;
        SurfacePtr surface = texture->map();
        mapped->pData = const_cast<std::uint8_t*>(surface->bytes.data());
        mapped->RowPitch = surface->pitch;
        mapped->DepthPitch = surface->pitch * surface->height;
        return S_OK;
    }

    void STDMETHODCALLTYPE Unmap(ID3D11Resource* resource, UINT) override {
        record("ID3D11DeviceContext::Unmap");
        if (Texture* texture = as_texture(resource)) texture->unmap();
    }

protected:
    const char* trace_name() const override { return "ID3D11DeviceContext"; }
};

class Device final : public posix::ComObject<ID3D11Device> {
public:
    HRESULT STDMETHODCALLTYPE CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc, const D3D11_SUBRESOURCE_DATA*,
                                              ID3D11Texture2D** texture) override {
        *texture = nullptr;
        CallResult call = enter("ID3D11Device::CreateTexture2D");
        if (call.outcome == Outcome::Fail) return call.hresult;
        if (call.outcome == Outcome::Null) return S_OK;
        if (!desc || desc->Width == 0 || desc->Height == 0 || desc->Format != DXGI_FORMAT_B8G8R8A8_UNORM)
            return E_INVALIDARG;
        *texture = new Texture(*desc, nullptr);
        return S_OK;
    }

protected:
    const char* trace_name() const override { return "ID3D11Device"; }
};

}  // namespace

bool is_device(IUnknown* object) { return dynamic_cast<Device*>(object) != nullptr; }

}  // namespace vistrel::sim

using namespace vistrel::sim;

HRESULT D3D11CreateDevice(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driver_type, void* software, UINT flags,
                          const D3D_FEATURE_LEVEL* feature_levels, UINT feature_level_count, UINT sdk_version,
                          ID3D11Device** device, D3D_FEATURE_LEVEL* feature_level,
                          ID3D11DeviceContext** immediate_context) {
    if (device) *device = nullptr;
    if (immediate_context) *immediate_context = nullptr;
    {
        std::shared_ptr<Machine> m = current_machine();
        std::lock_guard lock(m->answers_mutex);
        CreateDeviceCall& call = m->last_create_device;
        call.driver_type = driver_type;
        call.software = software != nullptr;
        call.flags = flags;
        call.feature_levels.assign(feature_levels, feature_levels + (feature_levels ? feature_level_count : 0));
        call.sdk_version = sdk_version;
        call.wants_feature_level = feature_level != nullptr;
    }
    CallResult call = enter("D3D11CreateDevice");
    if (call.outcome == Outcome::Fail) return call.hresult;
    if (call.outcome == Outcome::Null) return S_OK;
    const AdapterConfig* config = adapter_config(adapter);
    if (!config || driver_type != D3D_DRIVER_TYPE_UNKNOWN || sdk_version != D3D11_SDK_VERSION) return E_INVALIDARG;
    bool wants_11_0 = false;
    for (UINT i = 0; feature_levels && i < feature_level_count; ++i)
        wants_11_0 = wants_11_0 || feature_levels[i] == D3D_FEATURE_LEVEL_11_0;
    if (!wants_11_0 || !config->feature_level_11_0) return DXGI_ERROR_UNSUPPORTED;
    if (feature_level) *feature_level = D3D_FEATURE_LEVEL_11_0;
    if (device) *device = new Device();
    // A second switch of the same call: a device handed out without its context.
    if (immediate_context && consult("D3D11CreateDevice:context").outcome == Outcome::Proceed)
        *immediate_context = new Context();
    return S_OK;
}
