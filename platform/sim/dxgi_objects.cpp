// The simulated DXGI factory, adapters and outputs, over the machine model.
#include <algorithm>
#include <cstring>

#include "platform/sim/objects.h"
#include "platform/sim/runtime.h"

namespace vistrel::sim {
namespace {

template <std::size_t N>
void copy_wide(WCHAR (&field)[N], const std::u16string& text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), std::min(N, text.size()) * sizeof(WCHAR));
}

class Output final : public posix::ComObject<IDXGIOutput1, IDXGIOutput, IDXGIObject> {
public:
    explicit Output(std::shared_ptr<OutputState> state) : state_(std::move(state)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        // Asking for IDXGIOutput1 is an operation tests can make fail.
        if (object && riid == iid_of<IDXGIOutput1>()) {
            *object = nullptr;
            CallResult call = enter("QueryInterface(IDXGIOutput1)");
            if (call.outcome == Outcome::Fail) return call.hresult;
            if (call.outcome == Outcome::Null) return S_OK;
        }
        return ComObject::QueryInterface(riid, object);
    }

    HRESULT STDMETHODCALLTYPE GetDesc(DXGI_OUTPUT_DESC* desc) override {
        CallResult call = enter("IDXGIOutput::GetDesc");
        if (call.outcome == Outcome::Fail) return call.hresult;
        const OutputConfig& c = state_->config;
        copy_wide(desc->DeviceName, c.device_name);
        desc->DesktopCoordinates = {c.origin_x, c.origin_y,
                                    static_cast<LONG>(static_cast<std::uint32_t>(c.origin_x) + c.width),
                                    static_cast<LONG>(static_cast<std::uint32_t>(c.origin_y) + c.height)};
        desc->AttachedToDesktop = c.attached ? TRUE : FALSE;
        desc->Rotation = static_cast<DXGI_MODE_ROTATION>(c.rotation);
        desc->Monitor = nullptr;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE DuplicateOutput(IUnknown* device, IDXGIOutputDuplication** duplication) override {
        *duplication = nullptr;
        CallResult call = enter("IDXGIOutput1::DuplicateOutput");
        if (call.outcome == Outcome::Fail) return call.hresult;
        if (call.outcome == Outcome::Null) return S_OK;
        if (!is_device(device)) return E_INVALIDARG;
        return new_duplication(state_, duplication);
    }

protected:
    const char* trace_name() const override { return "IDXGIOutput1"; }

private:
    std::shared_ptr<OutputState> state_;
};

class Adapter final : public posix::ComObject<IDXGIAdapter1, IDXGIAdapter, IDXGIObject> {
public:
    Adapter(std::shared_ptr<Machine> machine, std::uint32_t index)
        : machine_(std::move(machine)), index_(index), config_(machine_->config.adapters[index]) {}

    HRESULT STDMETHODCALLTYPE EnumOutputs(UINT index, IDXGIOutput** out) override {
        *out = nullptr;
        CallResult call = enter("IDXGIAdapter::EnumOutputs");
        if (call.outcome == Outcome::Fail) return call.hresult;
        if (call.outcome == Outcome::Null) return S_OK;
        if (index >= config_.outputs.size()) return DXGI_ERROR_NOT_FOUND;
        *out = new Output(machine_->output(index_, index));
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

protected:
    const char* trace_name() const override { return "IDXGIAdapter1"; }

private:
    std::shared_ptr<Machine> machine_;
    std::uint32_t index_;
    const AdapterConfig& config_;
};

class Factory final : public posix::ComObject<IDXGIFactory1, IDXGIObject> {
public:
    explicit Factory(std::shared_ptr<Machine> machine) : machine_(std::move(machine)) {}

    HRESULT STDMETHODCALLTYPE EnumAdapters1(UINT index, IDXGIAdapter1** out) override {
        *out = nullptr;
        CallResult call = enter("IDXGIFactory1::EnumAdapters1");
        if (call.outcome == Outcome::Fail) return call.hresult;
        if (call.outcome == Outcome::Null) return S_OK;
        if (index >= machine_->config.adapters.size()) return DXGI_ERROR_NOT_FOUND;
        *out = new Adapter(machine_, index);
        return S_OK;
    }

protected:
    const char* trace_name() const override { return "IDXGIFactory1"; }

private:
    std::shared_ptr<Machine> machine_;
};

}  // namespace

const AdapterConfig* adapter_config(IDXGIAdapter* adapter) {
    auto* sim_adapter = dynamic_cast<Adapter*>(adapter);
    return sim_adapter ? &sim_adapter->config() : nullptr;
}

}  // namespace vistrel::sim

using namespace vistrel::sim;

HRESULT CreateDXGIFactory1(REFIID riid, void** out) {
    *out = nullptr;
    CallResult call = enter("CreateDXGIFactory1");
    if (call.outcome == Outcome::Fail) return call.hresult;
    if (call.outcome == Outcome::Null) return S_OK;
    auto factory = vistrel::ComPtr<IDXGIFactory1>::adopt(new Factory(current_machine()));
    return factory->QueryInterface(riid, out);
}
