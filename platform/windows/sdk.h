// The Windows SDK headers the core needs, with what mingw-w64 lacks filled in.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// windows.h first: the others build on its declarations.
// clang-format off
#include <windows.h>
#include <oleauto.h>
#include <dxgi1_2.h>
#include <d3d11.h>
// clang-format on

// mingw-w64 lacks the WinRT restricted error interface; its layout and IID are fixed.
#ifndef __IRestrictedErrorInfo_INTERFACE_DEFINED__
#define __IRestrictedErrorInfo_INTERFACE_DEFINED__
// COM objects are destroyed through Release, never through a base pointer, so
// interfaces have no virtual destructor.
#ifdef __GNUC__
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif
struct IRestrictedErrorInfo : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error, BSTR* restricted_description,
                                                      BSTR* capability_sid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) = 0;
};
#ifdef __GNUC__
#pragma GCC diagnostic pop
#endif
__CRT_UUID_DECL(IRestrictedErrorInfo, 0x82BA7092, 0x4C88, 0x427D, 0xA7, 0xBC, 0x16, 0xDD, 0x93, 0xFE, 0xB6, 0x7E)
#endif
