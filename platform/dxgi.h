// What the core includes for the Windows names it calls: the SDK on Windows, the
// shim declarations of the same names everywhere else, and on Windows too when
// VISTREL_SHIM is defined (the simulated machine built for Windows).
#pragma once

#if defined(_WIN32) && !defined(VISTREL_SHIM)
#define VISTREL_WINDOWS_SDK 1
#include "platform/windows/sdk.h"
#else
// Each shim header builds on the ones before it.
// clang-format off
#include "platform/shim/windows_types.h"
#include "platform/shim/unknown.h"
#include "platform/shim/oleauto.h"
#include "platform/shim/dxgi.h"
#include "platform/shim/d3d11.h"
#include "platform/shim/user32.h"
// clang-format on
#endif
