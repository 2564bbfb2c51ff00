// What the core includes for the Windows names it calls: the SDK on Windows, the
// shim declarations of the same names everywhere else.
#pragma once

#ifdef _WIN32
#include "platform/windows/sdk.h"
#else
#include "platform/shim/windows_types.h"
#include "platform/shim/unknown.h"
#include "platform/shim/oleauto.h"
#include "platform/shim/dxgi.h"
#include "platform/shim/d3d11.h"
#include "platform/shim/user32.h"
#endif
