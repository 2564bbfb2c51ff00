// IUnknown: reference counting and interface queries. Each shim interface carries
// its interface identifier as kIid, which platform/com_ptr.h reads through iid_of<T>().
#pragma once

#include "platform/shim/windows_types.h"

struct IUnknown {
    static constexpr IID kIid = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;

protected:
    // Lifetime is the reference count's business, never a delete through the interface.
    ~IUnknown() = default;
};
