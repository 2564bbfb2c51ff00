// The factory connects once to read the outputs: one adapter for the compositor, one
// output per wl_output, numbered left to right, then top to bottom. Each duplication
// later opens a connection of its own.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/posix/com_object.h"
#include "platform/posix/cpu_device.h"
#include "platform/posix/error_info.h"
#include "platform/posix/wide_field.h"
#include "platform/wayland/duplication.h"
#include "platform/wayland/globals.h"
#include "platform/wayland/portal_duplication.h"
#include "platform/wayland/provider.h"
#include "platform/wayland/rotation.h"

namespace vistrel::wayland {
namespace {

using posix::copy_wide;

struct OutputInfo {
    std::string name;
    std::int32_t x = 0, y = 0;
    std::uint32_t width = 0, height = 0;  // on the desktop, not the mode's
    DXGI_MODE_ROTATION rotation = DXGI_MODE_ROTATION_IDENTITY;
};

enum class Route { kAuto, kScreencopy, kPortal };

struct CompositorSnapshot {
    std::string display;
    bool screencopy = false;
    Route route = Route::kAuto;
    // The portal where asked for, and where the compositor offers no screencopy.
    bool portal() const { return route == Route::kPortal || (route == Route::kAuto && !screencopy); }
    std::vector<OutputInfo> outputs;
};

class Output final : public posix::ComObject<IDXGIOutput1, IDXGIOutput, IDXGIObject> {
public:
    Output(std::shared_ptr<const CompositorSnapshot> snapshot, std::uint32_t index)
        : snapshot_(std::move(snapshot)), output_(snapshot_->outputs[index]) {}

    HRESULT STDMETHODCALLTYPE GetDesc(DXGI_OUTPUT_DESC* desc) override {
        copy_wide(desc->DeviceName, output_.name);
        desc->DesktopCoordinates = {output_.x, output_.y, static_cast<LONG>(output_.x + output_.width),
                                    static_cast<LONG>(output_.y + output_.height)};
        desc->AttachedToDesktop = TRUE;
        desc->Rotation = output_.rotation;
        desc->Monitor = nullptr;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE DuplicateOutput(IUnknown* device, IDXGIOutputDuplication** duplication) override {
        *duplication = nullptr;
        if (!device) return E_INVALIDARG;
        WlFailure failure;
        *duplication = snapshot_->portal()
                           ? new_portal_duplication(snapshot_->display, output_.name, restore_token_, failure)
                           : new_duplication(snapshot_->display, output_.name, failure);
        return *duplication ? S_OK : posix::fail_with(failure.code, failure.text);
    }

    void set_restore_token(const std::optional<std::string>& token) { restore_token_ = token; }

private:
    std::shared_ptr<const CompositorSnapshot> snapshot_;
    OutputInfo output_;
    std::optional<std::string> restore_token_;  // nullopt: the output's stored one
};

class Adapter final : public posix::ComObject<IDXGIAdapter1, IDXGIAdapter, IDXGIObject> {
public:
    explicit Adapter(std::shared_ptr<const CompositorSnapshot> snapshot) : snapshot_(std::move(snapshot)) {}

    HRESULT STDMETHODCALLTYPE EnumOutputs(UINT index, IDXGIOutput** out) override {
        *out = nullptr;
        if (index >= snapshot_->outputs.size()) return DXGI_ERROR_NOT_FOUND;
        *out = new Output(snapshot_, index);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetDesc1(DXGI_ADAPTER_DESC1* desc) override {
        *desc = DXGI_ADAPTER_DESC1{};
        copy_wide(desc->Description, "Wayland compositor " + snapshot_->display +
                                         (snapshot_->portal() ? " (screen-cast portal)" : " (wlr-screencopy)"));
        // A LUID of the provider's own: "WL" in the high bytes.
        desc->AdapterLuid = {0x574C0000u, 0};
        return S_OK;
    }

private:
    std::shared_ptr<const CompositorSnapshot> snapshot_;
};

class Factory final : public posix::ComObject<IDXGIFactory1, IDXGIObject> {
public:
    explicit Factory(std::shared_ptr<const CompositorSnapshot> snapshot) : snapshot_(std::move(snapshot)) {}

    HRESULT STDMETHODCALLTYPE EnumAdapters1(UINT index, IDXGIAdapter1** out) override {
        *out = nullptr;
        if (index > 0) return DXGI_ERROR_NOT_FOUND;
        *out = new Adapter(snapshot_);
        return S_OK;
    }

private:
    std::shared_ptr<const CompositorSnapshot> snapshot_;
};

// The route VISTREL_WAYLAND_ROUTE asks for; false with `why` filled for an unknown one.
bool chosen_route(Route& chosen, std::string& why) {
    const char* route = std::getenv("VISTREL_WAYLAND_ROUTE");
    chosen = Route::kAuto;
    if (!route || !*route) return true;
    if (std::strcmp(route, "screencopy") == 0)
        chosen = Route::kScreencopy;
    else if (std::strcmp(route, "portal") == 0)
        chosen = Route::kPortal;
    else {
        why = std::string("VISTREL_WAYLAND_ROUTE must be screencopy or portal, not '") + route + "'";
        return false;
    }
    return true;
}

}  // namespace

bool is_wayland_adapter(IDXGIAdapter* adapter) { return dynamic_cast<Adapter*>(adapter) != nullptr; }

void set_restore_token(IDXGIOutput1* output, const std::optional<std::string>& token) {
    if (auto* ours = dynamic_cast<Output*>(output)) ours->set_restore_token(token);
}

std::optional<std::string> restore_token_of(IDXGIOutputDuplication* duplication) {
    return portal_restore_token(duplication);
}

HRESULT create_device(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driver_type, const D3D_FEATURE_LEVEL* feature_levels,
                      UINT feature_level_count, UINT sdk_version, ID3D11Device** device,
                      D3D_FEATURE_LEVEL* feature_level, ID3D11DeviceContext** immediate_context) {
    return posix::create_cpu_device(
        is_wayland_adapter(adapter), driver_type, feature_levels, feature_level_count, sdk_version, device,
        feature_level, immediate_context,
        "GPU sharing (keyed-mutex textures with shared handles) needs Windows: the Wayland provider keeps frames in "
        "CPU memory");
}

HRESULT create_factory(REFIID riid, void** out) {
    *out = nullptr;
    std::string why;
    Route route = Route::kAuto;
    if (!chosen_route(route, why)) return posix::fail_with(DXGI_ERROR_UNSUPPORTED, why);
    WlFailure failure;
    std::unique_ptr<Globals> globals = Globals::open(display_name(), failure);
    if (!globals) return posix::fail_with(failure.code, failure.text);
    auto snapshot = std::make_shared<CompositorSnapshot>();
    snapshot->display = globals->connection().name();
    snapshot->screencopy = static_cast<bool>(globals->screencopy());
    snapshot->route = route;
    for (const auto& output : globals->outputs())
        if (!output->removed && output->width != 0) {
            OutputInfo info{output->name, output->x, output->y, 0, 0, rotation_of(output->transform)};
            desktop_size(output->transform, output->width, output->height, output->logical_width,
                         output->logical_height, info.width, info.height);
            snapshot->outputs.push_back(info);
        }
    std::stable_sort(snapshot->outputs.begin(), snapshot->outputs.end(),
                     [](const OutputInfo& a, const OutputInfo& b) { return a.x != b.x ? a.x < b.x : a.y < b.y; });
    auto factory = ComPtr<IDXGIFactory1>::adopt(new Factory(std::move(snapshot)));
    return factory->QueryInterface(riid, out);
}

}  // namespace vistrel::wayland
