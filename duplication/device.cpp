#include "duplication/device.h"

#include <string>

#include "duplication/dpi_awareness.h"
#include "duplication/failed_call.h"
#include "duplication/frame.h"
#include "platform/os.h"
#include "platform/screen_cast.h"
#include "platform/utf16.h"
#include "platform/words.h"

namespace vistrel {
namespace {

// A call that failed in a way reported as text: its error information is dropped.
void drop_error_info() { (void)os::take_error_info(); }

}  // namespace

D3D11_TEXTURE2D_DESC frame_texture_desc(std::uint32_t width, std::uint32_t height) {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc = {1, 0};
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
    desc.CPUAccessFlags = 0;
    desc.MiscFlags = 0;
    return desc;
}

namespace {

Result<ComPtr<ID3D11Texture2D>> create_texture(ID3D11Device* device, const D3D11_TEXTURE2D_DESC& desc) {
    ComPtr<ID3D11Texture2D> texture;
    HRESULT hr = device->CreateTexture2D(&desc, nullptr, texture.put());
    if (FAILED(hr)) return failed_call(hr);
    if (!texture) return Failure::no_object();
    return texture;
}

}  // namespace

DuplicationSession::~DuplicationSession() {
    device.reset();
    context.reset();
    output.reset();
    duplication.reset();
    gpu_copy.reset();
    staging.reset();
    cursor.shape.reset();
    shared.reset();
    frame_buffer = {};
}

namespace {

// The adapter at `device_index` and its description.
struct Adapter {
    ComPtr<IDXGIAdapter1> adapter;
    DXGI_ADAPTER_DESC1 desc{};
};

Result<Adapter> find_adapter(std::uint32_t device_index) {
    ComPtr<IDXGIFactory1> factory;
    HRESULT hr = CreateDXGIFactory1(iid_of<IDXGIFactory1>(), factory.put_void());
    if (FAILED(hr)) return failed_call(hr);
    if (!factory) return Failure::no_object();

    Adapter found;
    hr = factory->EnumAdapters1(device_index, found.adapter.put());
    if (FAILED(hr) || !found.adapter) {
        drop_error_info();
        return Failure::bad_value("device index " + std::to_string(device_index) + " out of range");
    }
    hr = found.adapter->GetDesc1(&found.desc);
    if (FAILED(hr)) return failed_call(hr);
    return found;
}

Status create_device(IDXGIAdapter1* adapter, DuplicationSession& s) {
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0};
    HRESULT hr = D3D11CreateDevice(adapter, D3D_DRIVER_TYPE_UNKNOWN, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels,
                                   1, D3D11_SDK_VERSION, s.device.put(), nullptr, s.context.put());
    if (FAILED(hr)) return failed_call(hr);
    if (!s.device) return Failure::described("D3D11CreateDevice returned no device");
    if (!s.context) return Failure::described("D3D11CreateDevice returned no context");
    return Ok{};
}

struct FoundOutput {
    ComPtr<IDXGIOutput> output;
    DXGI_OUTPUT_DESC desc{};
    std::uint32_t index = 0;
};

// The output `same_output` names, wherever the adapter now numbers it: outputs are numbered
// anew when the primary display moves or one is added, and a session reopened by index
// alone would quietly capture another monitor.
Result<FoundOutput> find_output_by_name(IDXGIAdapter1* adapter, std::u16string_view same_output) {
    for (std::uint32_t i = 0;; ++i) {
        FoundOutput found{{}, {}, i};
        if (FAILED(adapter->EnumOutputs(i, found.output.put())) || !found.output) break;
        if (SUCCEEDED(found.output->GetDesc(&found.desc)) && wide_field(found.desc.DeviceName) == same_output)
            return found;
        drop_error_info();
    }
    drop_error_info();
    return Failure::hresult_explained(DXGI_ERROR_ACCESS_LOST, "output '" + utf16_to_utf8_lossy(same_output) +
                                                                  "' that this Capturer captured is gone");
}

Result<FoundOutput> find_output(IDXGIAdapter1* adapter, std::uint32_t output_index, std::u16string_view same_output) {
    FoundOutput found{{}, {}, output_index};
    HRESULT hr = adapter->EnumOutputs(output_index, found.output.put());
    if (FAILED(hr) || !found.output) {
        drop_error_info();
        if (!same_output.empty()) return find_output_by_name(adapter, same_output);
        return Failure::bad_value(words::output_out_of_range(output_index, FAILED(hr) ? hr : 0, [adapter] {
            std::uint32_t count = 0;
            for (ComPtr<IDXGIOutput> each; SUCCEEDED(adapter->EnumOutputs(count, each.put())) && each;) ++count;
            drop_error_info();
            return count;
        }));
    }
    hr = found.output->GetDesc(&found.desc);
    if (FAILED(hr)) return failed_call(hr);
    if (!same_output.empty() && wide_field(found.desc.DeviceName) != same_output)
        return find_output_by_name(adapter, same_output);
    return found;
}

// The output, its duplication on the session's device, and the duplication's mode.
Status duplicate_output(IDXGIAdapter1* adapter, std::uint32_t output_index, std::u16string_view same_output,
                        DuplicationSession& s) {
    auto found = find_output(adapter, output_index, same_output);
    if (!found) return found.take_failure();
    ComPtr<IDXGIOutput> output = std::move(found->output);
    output_index = found->index;
    s.output_index = found->index;
    s.output_name = wide_field(found->desc.DeviceName);
    s.desktop_left = found->desc.DesktopCoordinates.left;
    s.desktop_top = found->desc.DesktopCoordinates.top;

    HRESULT hr = output.query(s.output);
    if (FAILED(hr)) return failed_call(hr);
    if (!s.output) return Failure::hresult(E_POINTER);

    set_cast_restore_token(s.output.get(), s.cast_token);
    hr = s.output->DuplicateOutput(s.device.get(), s.duplication.put());
    // Windows gives each process one duplication of an output: the device is ours and
    // valid, so the parameter it refuses is the output.
    if (hr == E_INVALIDARG) {
        drop_error_info();
        return Failure::hresult_explained(hr, "output " + std::to_string(output_index) +
                                                  " is already captured in this process; close its other "
                                                  "Capturer first (one capture of an output per process)");
    }
    if (FAILED(hr)) return failed_call(hr);
    if (!s.duplication) return Failure::no_object();
    s.cast_token = cast_restore_token(s.duplication.get());

    DXGI_OUTDUPL_DESC duplication_desc{};
    s.duplication->GetDesc(&duplication_desc);
    s.width = duplication_desc.ModeDesc.Width;
    s.height = duplication_desc.ModeDesc.Height;
    s.rotation = static_cast<std::uint32_t>(duplication_desc.Rotation);
    return Ok{};
}

// The GPU copy texture every acquired image lands in, its CPU-readable staging twin,
// and the frame buffer, all of the duplication's size.
Status create_frame_textures(DuplicationSession& s) {
    D3D11_TEXTURE2D_DESC desc = frame_texture_desc(s.width, s.height);
    auto gpu_copy = create_texture(s.device.get(), desc);
    if (!gpu_copy) return gpu_copy.take_failure();
    s.gpu_copy = std::move(gpu_copy).value();
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    auto staging = create_texture(s.device.get(), desc);
    if (!staging) return staging.take_failure();
    s.staging = std::move(staging).value();
    return Ok{};
}

// Primes the GPU copy texture with the first desktop image and the cursor state with
// the first pointer; whatever these report is not open's business.
// Two acquisitions, because a fresh duplication's first frame may carry no image (only the
// pointer, or a still blank surface); 50 ms each, as a desktop that presents at 20 Hz or
// faster delivers its next image within that.
constexpr int kWarmUpFrames = 2;
constexpr std::uint32_t kWarmUpWaitMs = 50;

void prime(DuplicationSession& s) {
    for (int i = 0; i < kWarmUpFrames; ++i) (void)acquire_frame(s, kWarmUpWaitMs);
}

}  // namespace

Result<DuplicationSession> DuplicationSession::open(std::uint32_t device_index, std::uint32_t output_index,
                                                    bool cursor_enabled, std::u16string_view same_output, bool warm_up,
                                                    std::optional<std::string> cast_token) {
    const PerMonitorDpiScope dpi;
    auto adapter = find_adapter(device_index);
    if (!adapter) return adapter.take_failure();

    DuplicationSession s;
    s.cursor_enabled = cursor_enabled;
    s.cast_token = std::move(cast_token);
    s.adapter_luid = adapter->desc.AdapterLuid;
    if (Status device = create_device(adapter->adapter.get(), s); !device) return device.take_failure();
    if (Status duplicated = duplicate_output(adapter->adapter.get(), output_index, same_output, s); !duplicated)
        return duplicated.take_failure();
    if (Status textures = create_frame_textures(s); !textures) return textures.take_failure();
    if (warm_up) prime(s);
    return s;
}

}  // namespace vistrel
