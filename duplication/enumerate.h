// The walk over DXGI's adapters and outputs behind list_outputs(), device_info() and
// output_info(), and the text lines of the latter two. No Python here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "duplication/failure.h"
#include "platform/dxgi.h"

namespace vistrel {

struct AdapterEntry {
    DXGI_ADAPTER_DESC1 desc{};  // zero-filled when the walk does not read it
    std::vector<DXGI_OUTPUT_DESC> outputs;
    std::vector<std::string> pixel_paths;  // one per output, when the walk reads them
};

struct WalkOptions {
    bool read_adapter_descriptions = true;
    bool walk_outputs = true;
    // How each output's pixels would be read: a provider may have to ask its display.
    bool read_pixel_paths = false;
};

// Every adapter in enumeration order, each with its outputs. The walk of adapters (and
// of one adapter's outputs) ends at the first index that fails or yields nothing; a
// failed description aborts the whole walk. Every interface is released before return.
Result<std::vector<AdapterEntry>> walk_adapters(WalkOptions options);

// Width and height of an output's desktop rectangle, computed in 32 bits.
std::uint32_t output_width(const DXGI_OUTPUT_DESC& desc);
std::uint32_t output_height(const DXGI_OUTPUT_DESC& desc);

// "Device[i]:<Name:... VendorId:0x.... DeviceId:0x.... VRAM:...MB>\n"
std::string device_info_line(std::uint32_t adapter_index, const DXGI_ADAPTER_DESC1& desc);
// "Device[i] Output[j]: Res:(w, h) Rot:r Primary:true|false\n"
std::string output_info_line(std::uint32_t adapter_index, std::uint32_t output_index, const DXGI_OUTPUT_DESC& desc);

}  // namespace vistrel
