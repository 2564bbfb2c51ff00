// COM error information: the thread's IErrorInfo, the WinRT restricted form, and
// the length-prefixed BSTR strings they hand out.
#pragma once

#include "platform/shim/unknown.h"

struct IErrorInfo : IUnknown {
    static constexpr IID kIid = {0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};

    virtual HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) = 0;

protected:
    ~IErrorInfo() = default;
};

struct IRestrictedErrorInfo : IUnknown {
    static constexpr IID kIid = {0x82BA7092, 0x4C88, 0x427D, {0xA7, 0xBC, 0x16, 0xDD, 0x93, 0xFE, 0xB6, 0x7E}};

    virtual HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error, BSTR* restricted_description,
                                                      BSTR* capability_sid) = 0;

protected:
    ~IRestrictedErrorInfo() = default;
};

// Provided by the platform provider (the simulated machine, or the none provider).
HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** error_info);
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
UINT SysStringLen(BSTR text);
void SysFreeString(BSTR text);
