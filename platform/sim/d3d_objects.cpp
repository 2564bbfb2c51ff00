// The simulated Direct3D 11 device, its immediate context and textures: the CPU-memory
// ones, with every call traced and open to faults.
#include "platform/sim/objects.h"
#include "platform/sim/runtime.h"

namespace vistrel::sim {

bool Texture::shareable() const {
    return (desc().MiscFlags & D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX) &&
           (desc().MiscFlags & D3D11_RESOURCE_MISC_SHARED_NTHANDLE);
}

namespace {

class Context final : public posix::Context {
public:
    void STDMETHODCALLTYPE CopyResource(ID3D11Resource* destination, ID3D11Resource* source) override {
        record("ID3D11DeviceContext::CopyResource");
        posix::Context::CopyResource(destination, source);
    }

    HRESULT STDMETHODCALLTYPE Map(ID3D11Resource* resource, UINT subresource, D3D11_MAP map_type, UINT map_flags,
                                  D3D11_MAPPED_SUBRESOURCE* mapped) override {
        CallResult call = enter("ID3D11DeviceContext::Map");
        if (call.outcome == Outcome::Fail) return call.hresult;
        return posix::Context::Map(resource, subresource, map_type, map_flags, mapped);
    }

    void STDMETHODCALLTYPE Unmap(ID3D11Resource* resource, UINT subresource) override {
        record("ID3D11DeviceContext::Unmap");
        posix::Context::Unmap(resource, subresource);
    }
};

class Device final : public posix::Device {
public:
    HRESULT STDMETHODCALLTYPE CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc, const D3D11_SUBRESOURCE_DATA* initial,
                                              ID3D11Texture2D** texture) override {
        *texture = nullptr;
        CallResult call = enter("ID3D11Device::CreateTexture2D");
        if (call.outcome == Outcome::Fail) return call.hresult;
        if (call.outcome == Outcome::Null) return S_OK;
        return posix::Device::CreateTexture2D(desc, initial, texture);
    }

protected:
    HRESULT make_texture(const D3D11_TEXTURE2D_DESC& desc, ID3D11Texture2D** texture) override {
        *texture = new Texture(desc);
        return S_OK;
    }
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
    if (HRESULT hr =
            vistrel::posix::check_device_request(config != nullptr, config && config->feature_level_11_0, driver_type,
                                                 feature_levels, feature_level_count, sdk_version);
        FAILED(hr))
        return hr;
    if (feature_level) *feature_level = D3D_FEATURE_LEVEL_11_0;
    if (device) *device = new Device();
    // A second switch of the same call: a device handed out without its context.
    if (immediate_context && consult("D3D11CreateDevice:context").outcome == Outcome::Proceed)
        *immediate_context = new Context();
    return S_OK;
}
