// Pixels a caller may keep. A provider whose server writes straight into memory the
// process maps (X11 with MIT-SHM) offers this on its duplication, so that a frame reaches
// the caller's array without a copy of the process's own. Asked with
// QueryInterface(IKeepablePixels::kIid); Windows' duplication does not answer it.
#pragma once

#include "platform/dxgi.h"

// Windows' own IUnknown has a public non-virtual destructor, which GCC warns of in every
// interface derived from it; COM objects are released, never deleted through one.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

// Packed BGRA rows (width x 4 bytes apart) that belong to whoever holds the reference;
// the last Release may come from any thread.
struct IKeptPixels : IUnknown {
    static constexpr IID kIid = {0x2B7F0C61, 0x5E3A, 0x4D19, {0x8C, 0x44, 0x19, 0xA6, 0x70, 0xD2, 0x3E, 0x85}};

    virtual BYTE* STDMETHODCALLTYPE Data() = 0;

protected:
    ~IKeptPixels() = default;
};

struct IKeepablePixels : IUnknown {
    static constexpr IID kIid = {0x8E41D3A7, 0x0C5B, 0x4A62, {0x9F, 0x1E, 0x63, 0x27, 0xB8, 0x4C, 0xD0, 0x5A}};

    // While TRUE, acquisitions only note what changed and leave the desktop image behind
    // the frame textures as it was: the caller reads its pixels with ReadToKeep instead.
    // The image catches up at the first acquisition after FALSE.
    virtual void STDMETHODCALLTYPE DeferImageReads(BOOL defer) = 0;
    // The rectangle [left, right) x [top, bottom) of the output as it is now, read into
    // pixels the caller keeps; their fourth bytes are 255 when `opaque`, else whatever
    // the server sent (a caller converting to a layout without alpha spares that pass).
    // A failure leaves *pixels null.
    virtual HRESULT STDMETHODCALLTYPE ReadToKeep(UINT left, UINT top, UINT right, UINT bottom, BOOL opaque,
                                                 IKeptPixels** pixels) = 0;

protected:
    ~IKeepablePixels() = default;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
