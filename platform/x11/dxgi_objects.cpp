// The factory connects once to read the layout: one adapter per X screen, one output per
// RandR monitor. The first duplication takes that connection over (a one-shot capture then
// connects once); every later one opens a connection of its own.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/pixel_path.h"
#include "platform/posix/com_object.h"
#include "platform/posix/cpu_device.h"
#include "platform/posix/wide_field.h"
#include "platform/x11/adapter.h"
#include "platform/x11/duplication.h"
#include "platform/x11/error_info.h"
#include "platform/x11/layout.h"
#include "platform/x11/provider.h"
#include "platform/x11/reply_deadline.h"
#include "platform/x11/shm_check.h"

namespace vistrel::x11 {
namespace {

using posix::copy_wide;

struct DisplaySnapshot {
    std::string display;
    std::string vendor;
    std::vector<ScreenInfo> screens;
};

// The layout's connection, until a duplication takes it: one thread at a time may ask
// over a connection, so it is handed over once and never shared.
class SpareConnection {
public:
    explicit SpareConnection(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}
    std::shared_ptr<Connection> take() {
        std::lock_guard lock(mutex_);
        return std::move(connection_);
    }

private:
    std::mutex mutex_;
    std::shared_ptr<Connection> connection_;  // guarded by mutex_
};

class Output final : public posix::ComObject<IDXGIOutput1, IDXGIOutput, IDXGIObject> {
public:
    Output(std::shared_ptr<const DisplaySnapshot> snapshot, std::shared_ptr<SpareConnection> spare,
           std::uint32_t screen, std::uint32_t index)
        : snapshot_(std::move(snapshot)),
          spare_(std::move(spare)),
          screen_(screen),
          monitor_(snapshot_->screens[screen].monitors[index]) {}

    HRESULT STDMETHODCALLTYPE GetDesc(DXGI_OUTPUT_DESC* desc) override {
        copy_wide(desc->DeviceName, monitor_.name);
        desc->DesktopCoordinates = {monitor_.x, monitor_.y, static_cast<LONG>(monitor_.x + monitor_.width),
                                    static_cast<LONG>(monitor_.y + monitor_.height)};
        desc->AttachedToDesktop = TRUE;
        desc->Rotation = monitor_.rotation;
        desc->Monitor = nullptr;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE DuplicateOutput(IUnknown* device, IDXGIOutputDuplication** duplication) override {
        *duplication = nullptr;
        if (!device) return E_INVALIDARG;
        XFailure failure;
        *duplication = new_duplication(spare_->take(), snapshot_->display, screen_, monitor_.name, failure);
        return *duplication ? S_OK : fail_with(failure.code, failure.text);
    }

    // Asked only by a listing that shows it: the probe costs a connection of its own.
    HRESULT STDMETHODCALLTYPE GetPrivateData(const GUID& name, UINT* data_size, void* data) override {
        if (name == kPixelPathData && !pixel_path_)
            pixel_path_ = probe_pixel_path(snapshot_->display, screen_, monitor_.x, monitor_.y);
        return answer_pixel_path(name, pixel_path_, data_size, data);
    }

private:
    std::shared_ptr<const DisplaySnapshot> snapshot_;
    std::shared_ptr<SpareConnection> spare_;
    std::uint32_t screen_;
    MonitorInfo monitor_;
    const char* pixel_path_ = nullptr;  // probed on the first question
};

class Adapter final : public posix::ComObject<IDXGIAdapter1, IDXGIAdapter, IDXGIObject> {
public:
    Adapter(std::shared_ptr<const DisplaySnapshot> snapshot, std::shared_ptr<SpareConnection> spare,
            std::uint32_t screen)
        : snapshot_(std::move(snapshot)), spare_(std::move(spare)), screen_(screen) {}

    HRESULT STDMETHODCALLTYPE EnumOutputs(UINT index, IDXGIOutput** out) override {
        *out = nullptr;
        if (index >= snapshot_->screens[screen_].monitors.size()) return DXGI_ERROR_NOT_FOUND;
        *out = new Output(snapshot_, spare_, screen_, index);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetDesc1(DXGI_ADAPTER_DESC1* desc) override {
        *desc = DXGI_ADAPTER_DESC1{};
        copy_wide(desc->Description, "X11 screen " + std::to_string(screen_) + " of display " + snapshot_->display +
                                         " (" + snapshot_->vendor + ")");
        // A LUID of the provider's own: "X11" in the high bytes, the screen below.
        desc->AdapterLuid = {0x58313100u + screen_, 0};
        return S_OK;
    }

private:
    std::shared_ptr<const DisplaySnapshot> snapshot_;
    std::shared_ptr<SpareConnection> spare_;
    std::uint32_t screen_;
};

class Factory final : public posix::ComObject<IDXGIFactory1, IDXGIObject> {
public:
    Factory(std::shared_ptr<const DisplaySnapshot> snapshot, std::shared_ptr<SpareConnection> spare)
        : snapshot_(std::move(snapshot)), spare_(std::move(spare)) {}

    HRESULT STDMETHODCALLTYPE EnumAdapters1(UINT index, IDXGIAdapter1** out) override {
        *out = nullptr;
        if (index >= snapshot_->screens.size()) return DXGI_ERROR_NOT_FOUND;
        *out = new Adapter(snapshot_, spare_, index);
        return S_OK;
    }

private:
    std::shared_ptr<const DisplaySnapshot> snapshot_;
    std::shared_ptr<SpareConnection> spare_;
};

}  // namespace

bool is_x11_adapter(IDXGIAdapter* adapter) { return dynamic_cast<Adapter*>(adapter) != nullptr; }

HRESULT create_device(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driver_type, const D3D_FEATURE_LEVEL* feature_levels,
                      UINT feature_level_count, UINT sdk_version, ID3D11Device** device,
                      D3D_FEATURE_LEVEL* feature_level, ID3D11DeviceContext** immediate_context) {
    return posix::create_cpu_device(
        is_x11_adapter(adapter), driver_type, feature_levels, feature_level_count, sdk_version, device, feature_level,
        immediate_context,
        "GPU sharing (keyed-mutex textures with shared handles) needs Windows: the X11 provider keeps frames in CPU "
        "memory");
}

HRESULT create_factory(REFIID riid, void** out) {
    *out = nullptr;
    const ReplyDeadline replies(kOpenTimeout);
    XFailure failure;
    std::shared_ptr<Connection> connection = Connection::open(display_name(), failure);
    if (!connection) return fail_with(failure.code, failure.text);
    auto snapshot = std::make_shared<DisplaySnapshot>();
    snapshot->display = connection->display();
    const XcbApi& x = connection->api();
    const xcb_setup_t* setup = x.xcb_get_setup(connection->get());
    snapshot->vendor.assign(x.xcb_setup_vendor(setup), x.xcb_setup_vendor_length(setup));
    snapshot->screens = query_layout(*connection);
    if (connection->broken()) return fail_with(DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, lost_connection_text(*connection));
    if (replies.ran_out()) return fail_with(DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, no_answer_text(connection->display()));
    auto spare = std::make_shared<SpareConnection>(std::move(connection));
    auto factory = vistrel::ComPtr<IDXGIFactory1>::adopt(new Factory(std::move(snapshot), std::move(spare)));
    return factory->QueryInterface(riid, out);
}

}  // namespace vistrel::x11
