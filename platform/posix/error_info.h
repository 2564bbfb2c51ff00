// COM error information for the failures of the providers without a system of their
// own: the text a failed call leaves for GetErrorInfo, so the exception says what the
// display server reported instead of a bare HRESULT.
#pragma once

#include <string>

#include "platform/dxgi.h"

namespace vistrel::posix {

// Leaves `text` (UTF-8) as this thread's error information and returns `code`.
HRESULT fail_with(HRESULT code, const std::string& text);

}  // namespace vistrel::posix
