#include "duplication/enumerate.h"

#include <cinttypes>
#include <cstdio>

#include "duplication/dpi_awareness.h"
#include "duplication/failed_call.h"
#include "duplication/pixel_path.h"
#include "platform/os.h"
#include "platform/utf16.h"

namespace vistrel {
namespace {}  // namespace

Result<std::vector<AdapterEntry>> walk_adapters(WalkOptions options) {
    const PerMonitorDpiScope dpi;
    ComPtr<IDXGIFactory1> factory;
    HRESULT hr = CreateDXGIFactory1(iid_of<IDXGIFactory1>(), factory.put_void());
    if (FAILED(hr)) return failed_call(hr);
    if (!factory) return Failure::no_object();

    std::vector<AdapterEntry> adapters;
    for (UINT i = 0;; ++i) {
        ComPtr<IDXGIAdapter1> adapter;
        hr = factory->EnumAdapters1(i, adapter.put());
        if (FAILED(hr) || !adapter) {
            (void)os::take_error_info();  // past the last adapter: not an error
            break;
        }
        AdapterEntry& entry = adapters.emplace_back();
        if (options.read_adapter_descriptions) {
            hr = adapter->GetDesc1(&entry.desc);
            if (FAILED(hr)) return failed_call(hr);
        }
        if (!options.walk_outputs) continue;
        for (UINT j = 0;; ++j) {
            ComPtr<IDXGIOutput> output;
            hr = adapter->EnumOutputs(j, output.put());
            if (FAILED(hr) || !output) {
                (void)os::take_error_info();
                break;
            }
            DXGI_OUTPUT_DESC& desc = entry.outputs.emplace_back();
            hr = output->GetDesc(&desc);
            if (FAILED(hr)) return failed_call(hr);
            if (options.read_pixel_paths) entry.pixel_paths.push_back(pixel_path_of(output.get()));
        }
    }
    return adapters;
}

std::uint32_t output_width(const DXGI_OUTPUT_DESC& desc) {
    return static_cast<std::uint32_t>(desc.DesktopCoordinates.right) -
           static_cast<std::uint32_t>(desc.DesktopCoordinates.left);
}

std::uint32_t output_height(const DXGI_OUTPUT_DESC& desc) {
    return static_cast<std::uint32_t>(desc.DesktopCoordinates.bottom) -
           static_cast<std::uint32_t>(desc.DesktopCoordinates.top);
}

std::string device_info_line(std::uint32_t adapter_index, const DXGI_ADAPTER_DESC1& desc) {
    char numbers[96];
    // Not %#X, which prints "0X": the prefix is lower-case, the digits upper-case.
    std::snprintf(numbers, sizeof numbers, " VendorId:0x%04X DeviceId:0x%04X VRAM:%" PRIu64 "MB>\n",
                  static_cast<unsigned>(desc.VendorId), static_cast<unsigned>(desc.DeviceId),
                  static_cast<std::uint64_t>(desc.DedicatedVideoMemory) >> 20);
    return "Device[" + std::to_string(adapter_index) + "]:<Name:" + utf16_to_utf8_lossy(wide_field(desc.Description)) +
           numbers;
}

std::string output_info_line(std::uint32_t adapter_index, std::uint32_t output_index, const DXGI_OUTPUT_DESC& desc) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "Device[%" PRIu32 "] Output[%" PRIu32 "]: Res:(%" PRId32 ", %" PRId32 ") Rot:%d Primary:%s\n",
                  adapter_index, output_index, static_cast<std::int32_t>(output_width(desc)),
                  static_cast<std::int32_t>(output_height(desc)), static_cast<int>(desc.Rotation),
                  desc.AttachedToDesktop ? "true" : "false");
    return text;
}

}  // namespace vistrel
