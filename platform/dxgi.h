// What the core includes for the Windows names it calls: the SDK on Windows, the
// shim declarations of the same names everywhere else.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <oleauto.h>
#include <dxgi1_2.h>
#include <d3d11.h>

// mingw-w64 lacks the WinRT restricted error interface; its layout and IID are fixed.
#ifndef __IRestrictedErrorInfo_INTERFACE_DEFINED__
#define __IRestrictedErrorInfo_INTERFACE_DEFINED__
struct IRestrictedErrorInfo : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error,
                                                      BSTR* restricted_description,
                                                      BSTR* capability_sid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) = 0;
};
__CRT_UUID_DECL(IRestrictedErrorInfo, 0x82BA7092, 0x4C88, 0x427D, 0xA7, 0xBC, 0x16, 0xDD, 0x93, 0xFE,
                0xB6, 0x7E)
#endif
#else
#include "platform/shim/windows_types.h"
#include "platform/shim/unknown.h"
#include "platform/shim/oleauto.h"
#include "platform/shim/dxgi.h"
#include "platform/shim/d3d11.h"
#include "platform/shim/user32.h"
#endif
