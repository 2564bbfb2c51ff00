// COM error information for the provider's failures: the text a failed call leaves for
// GetErrorInfo, so the exception says what X reported instead of a bare HRESULT.
#pragma once

#include <string>

#include "platform/dxgi.h"

namespace vistrel::x11 {

// Leaves `text` (UTF-8) as this thread's error information and returns `code`.
HRESULT fail_with(HRESULT code, const std::string& text);

}  // namespace vistrel::x11
