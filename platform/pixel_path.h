// How a provider's pixels reach the process, asked of a duplication or an output through
// IDXGIObject::GetPrivateData under kPixelPathData: a NUL-terminated name ("mit-shm",
// "get-image", ...). Windows' own objects store none and answer DXGI_ERROR_NOT_FOUND.
#pragma once

#include <cstring>

#include "platform/dxgi.h"

namespace vistrel {

inline constexpr GUID kPixelPathData = {0x6C1D4E2A, 0x93B0, 0x4F5E, {0xA1, 0x7C, 0x3D, 0x52, 0x88, 0x0B, 0xE4, 0x19}};

// A provider's GetPrivateData answer for `name`: `path` under kPixelPathData, nothing
// under any other name.
inline HRESULT answer_pixel_path(const GUID& name, const char* path, UINT* data_size, void* data) {
    if (!data_size) return E_INVALIDARG;
    if (!(name == kPixelPathData) || !path) {
        *data_size = 0;
        return DXGI_ERROR_NOT_FOUND;
    }
    const UINT needed = static_cast<UINT>(std::strlen(path) + 1);
    const UINT room = *data_size;
    *data_size = needed;
    if (!data || room < needed) return DXGI_ERROR_MORE_DATA;
    std::memcpy(data, path, needed);
    return S_OK;
}

}  // namespace vistrel
