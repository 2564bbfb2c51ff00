// The simulated DXGI factory, adapters and outputs, over the machine model.
#include <algorithm>
#include <cstring>

#include "platform/sim/com_object.h"

namespace vistrel::sim {
namespace {

template <std::size_t N>
void copy_wide(WCHAR (&field)[N], const std::u16string& text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), std::min(N, text.size()) * sizeof(WCHAR));
}

class Output final : public ComObject<IDXGIOutput, IDXGIObject> {
public:
    explicit Output(OutputConfig config) : config_(std::move(config)) {}

    HRESULT STDMETHODCALLTYPE GetDesc(DXGI_OUTPUT_DESC* desc) override {
        CallResult call = enter("IDXGIOutput::GetDesc");
        if (call.outcome == Outcome::Fail) return call.hresult;
        copy_wide(desc->DeviceName, config_.device_name);
        desc->DesktopCoordinates = {config_.origin_x, config_.origin_y, config_.origin_x + config_.width,
                                    config_.origin_y + config_.height};
        desc->AttachedToDesktop = config_.attached ? TRUE : FALSE;
        desc->Rotation = static_cast<DXGI_MODE_ROTATION>(config_.rotation);
        desc->Monitor = nullptr;
        return S_OK;
    }

private:
    OutputConfig config_;
};

class Adapter final : public ComObject<IDXGIAdapter1, IDXGIAdapter, IDXGIObject> {
public:
    explicit Adapter(AdapterConfig config) : config_(std::move(config)) {}

    HRESULT STDMETHODCALLTYPE EnumOutputs(UINT index, IDXGIOutput** out) override {
        *out = nullptr;
        CallResult call = enter("IDXGIAdapter::EnumOutputs");
        if (call.outcome == Outcome::Fail) return call.hresult;
        if (call.outcome == Outcome::Null) return S_OK;
        if (index >= config_.outputs.size()) return DXGI_ERROR_NOT_FOUND;
        *out = new Output(config_.outputs[index]);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetDesc1(DXGI_ADAPTER_DESC1* desc) override {
        CallResult call = enter("IDXGIAdapter1::GetDesc1");
        if (call.outcome == Outcome::Fail) return call.hresult;
        copy_wide(desc->Description, config_.description);
        desc->VendorId = config_.vendor_id;
        desc->DeviceId = config_.device_id;
        desc->SubSysId = 0;
        desc->Revision = 0;
        desc->DedicatedVideoMemory = static_cast<SIZE_T>(config_.dedicated_video_memory);
        desc->DedicatedSystemMemory = 0;
        desc->SharedSystemMemory = 0;
        desc->AdapterLuid = config_.luid;
        desc->Flags = 0;
        return S_OK;
    }

    const AdapterConfig& config() const { return config_; }

private:
    AdapterConfig config_;
};

class Factory final : public ComObject<IDXGIFactory1, IDXGIObject> {
public:
    explicit Factory(std::shared_ptr<const MachineConfig> machine) : machine_(std::move(machine)) {}

    HRESULT STDMETHODCALLTYPE EnumAdapters1(UINT index, IDXGIAdapter1** out) override {
        *out = nullptr;
        CallResult call = enter("IDXGIFactory1::EnumAdapters1");
        if (call.outcome == Outcome::Fail) return call.hresult;
        if (call.outcome == Outcome::Null) return S_OK;
        if (index >= machine_->adapters.size()) return DXGI_ERROR_NOT_FOUND;
        *out = new Adapter(machine_->adapters[index]);
        return S_OK;
    }

private:
    std::shared_ptr<const MachineConfig> machine_;
};

}  // namespace
}  // namespace vistrel::sim

using namespace vistrel::sim;

HRESULT CreateDXGIFactory1(REFIID riid, void** out) {
    *out = nullptr;
    CallResult call = enter("CreateDXGIFactory1");
    if (call.outcome == Outcome::Fail) return call.hresult;
    if (call.outcome == Outcome::Null) return S_OK;
    auto factory = vistrel::ComPtr<IDXGIFactory1>::adopt(new Factory(machine()));
    return factory->QueryInterface(riid, out);
}
