// The DXGI factory, adapters and outputs over a snapshot of the display's layout.
#pragma once

#include "platform/dxgi.h"

namespace vistrel::x11 {

// Whether `adapter` is one of this provider's (the only kind a device is created on).
bool is_x11_adapter(IDXGIAdapter* adapter);

}  // namespace vistrel::x11
