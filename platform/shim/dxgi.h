// DXGI: the factory, adapters and outputs with their descriptions, and the
// status codes the core meets.
#pragma once

#include "platform/shim/unknown.h"

constexpr HRESULT DXGI_ERROR_INVALID_CALL = hresult_of(0x887A0001u);
constexpr HRESULT DXGI_ERROR_NOT_FOUND = hresult_of(0x887A0002u);
constexpr HRESULT DXGI_ERROR_MORE_DATA = hresult_of(0x887A0003u);
constexpr HRESULT DXGI_ERROR_UNSUPPORTED = hresult_of(0x887A0004u);
constexpr HRESULT DXGI_ERROR_DEVICE_REMOVED = hresult_of(0x887A0005u);
constexpr HRESULT DXGI_ERROR_DEVICE_HUNG = hresult_of(0x887A0006u);
constexpr HRESULT DXGI_ERROR_DEVICE_RESET = hresult_of(0x887A0007u);
constexpr HRESULT DXGI_ERROR_WAS_STILL_DRAWING = hresult_of(0x887A000Au);
constexpr HRESULT DXGI_ERROR_NOT_CURRENTLY_AVAILABLE = hresult_of(0x887A0022u);
constexpr HRESULT DXGI_ERROR_ACCESS_LOST = hresult_of(0x887A0026u);
constexpr HRESULT DXGI_ERROR_WAIT_TIMEOUT = hresult_of(0x887A0027u);
constexpr HRESULT DXGI_ERROR_SESSION_DISCONNECTED = hresult_of(0x887A0028u);
constexpr HRESULT DXGI_ERROR_ACCESS_DENIED = hresult_of(0x887A002Bu);

enum DXGI_MODE_ROTATION : int {
    DXGI_MODE_ROTATION_UNSPECIFIED = 0,
    DXGI_MODE_ROTATION_IDENTITY = 1,
    DXGI_MODE_ROTATION_ROTATE90 = 2,
    DXGI_MODE_ROTATION_ROTATE180 = 3,
    DXGI_MODE_ROTATION_ROTATE270 = 4,
};

struct DXGI_ADAPTER_DESC1 {
    WCHAR Description[128];
    UINT VendorId;
    UINT DeviceId;
    UINT SubSysId;
    UINT Revision;
    SIZE_T DedicatedVideoMemory;
    SIZE_T DedicatedSystemMemory;
    SIZE_T SharedSystemMemory;
    LUID AdapterLuid;
    UINT Flags;
};

struct DXGI_OUTPUT_DESC {
    WCHAR DeviceName[32];
    RECT DesktopCoordinates;
    BOOL AttachedToDesktop;
    DXGI_MODE_ROTATION Rotation;
    HMONITOR Monitor;
};

enum DXGI_FORMAT : int {
    DXGI_FORMAT_UNKNOWN = 0,
    DXGI_FORMAT_R16G16B16A16_FLOAT = 10,
    DXGI_FORMAT_B8G8R8A8_UNORM = 87,
};

struct DXGI_RATIONAL {
    UINT Numerator;
    UINT Denominator;
};

struct DXGI_MODE_DESC {
    UINT Width;
    UINT Height;
    DXGI_RATIONAL RefreshRate;
    DXGI_FORMAT Format;
    int ScanlineOrdering;
    int Scaling;
};

struct DXGI_SAMPLE_DESC {
    UINT Count;
    UINT Quality;
};

struct DXGI_OUTDUPL_DESC {
    DXGI_MODE_DESC ModeDesc;
    DXGI_MODE_ROTATION Rotation;
    BOOL DesktopImageInSystemMemory;
};

struct DXGI_OUTDUPL_POINTER_POSITION {
    POINT Position;
    BOOL Visible;
};

struct DXGI_OUTDUPL_FRAME_INFO {
    LARGE_INTEGER LastPresentTime;
    LARGE_INTEGER LastMouseUpdateTime;
    UINT AccumulatedFrames;
    BOOL RectsCoalesced;
    BOOL ProtectedContentMaskedOut;
    DXGI_OUTDUPL_POINTER_POSITION PointerPosition;
    UINT TotalMetadataBufferSize;
    UINT PointerShapeBufferSize;
};

enum DXGI_OUTDUPL_POINTER_SHAPE_TYPE : int {
    DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MONOCHROME = 1,
    DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR = 2,
    DXGI_OUTDUPL_POINTER_SHAPE_TYPE_MASKED_COLOR = 4,
};

struct DXGI_OUTDUPL_POINTER_SHAPE_INFO {
    UINT Type;
    UINT Width;
    UINT Height;
    UINT Pitch;
    POINT HotSpot;
};

struct IDXGIObject : IUnknown {
    static constexpr IID kIid = {0xAEC22FB8, 0x76F3, 0x4639, {0x9B, 0xE0, 0x28, 0xEB, 0x43, 0xA6, 0x7A, 0x2E}};

    // The data stored under `name`: DXGI_ERROR_NOT_FOUND when there is none (as for
    // every object that stores nothing), DXGI_ERROR_MORE_DATA with *data_size set when
    // `data` is too short.
    virtual HRESULT STDMETHODCALLTYPE GetPrivateData(const GUID& name, UINT* data_size, void* data);

protected:
    ~IDXGIObject() = default;
};

inline HRESULT STDMETHODCALLTYPE IDXGIObject::GetPrivateData(const GUID&, UINT* data_size, void*) {
    if (data_size) *data_size = 0;
    return DXGI_ERROR_NOT_FOUND;
}

struct IDXGIDeviceSubObject : IDXGIObject {
    static constexpr IID kIid = {0x3D3E0379, 0xF9DE, 0x4D58, {0xBB, 0x6C, 0x18, 0xD6, 0x29, 0x92, 0xF1, 0xA6}};

protected:
    ~IDXGIDeviceSubObject() = default;
};

// The desktop image of an acquired frame; queried for ID3D11Texture2D.
struct IDXGIResource : IDXGIDeviceSubObject {
    static constexpr IID kIid = {0x035F3AB4, 0x482E, 0x4E50, {0xB4, 0x1F, 0x8A, 0x7F, 0x8B, 0xD8, 0x96, 0x0B}};

protected:
    ~IDXGIResource() = default;
};

constexpr DWORD DXGI_SHARED_RESOURCE_READ = 0x80000000u;
constexpr DWORD DXGI_SHARED_RESOURCE_WRITE = 0x1u;

struct IDXGIResource1 : IDXGIResource {
    static constexpr IID kIid = {0x30961379, 0x4609, 0x4A41, {0x99, 0x8E, 0x54, 0xFE, 0x56, 0x7E, 0xE0, 0xC1}};

    virtual HRESULT STDMETHODCALLTYPE CreateSharedHandle(const SECURITY_ATTRIBUTES* attributes, DWORD access,
                                                         LPCWSTR name, HANDLE* handle) = 0;

protected:
    ~IDXGIResource1() = default;
};

struct IDXGIKeyedMutex : IDXGIDeviceSubObject {
    static constexpr IID kIid = {0x9D8E1289, 0xD7B3, 0x465F, {0x81, 0x26, 0x25, 0x0E, 0x34, 0x9A, 0xF8, 0x5D}};

    virtual HRESULT STDMETHODCALLTYPE AcquireSync(UINT64 key, DWORD milliseconds) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseSync(UINT64 key) = 0;

protected:
    ~IDXGIKeyedMutex() = default;
};

struct IDXGIOutputDuplication : IDXGIObject {
    static constexpr IID kIid = {0x191CFAC3, 0xA341, 0x470D, {0xB2, 0x6E, 0xA8, 0x64, 0xF4, 0x28, 0x31, 0x9C}};

    virtual void STDMETHODCALLTYPE GetDesc(DXGI_OUTDUPL_DESC* desc) = 0;
    virtual HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT timeout_ms, DXGI_OUTDUPL_FRAME_INFO* frame_info,
                                                       IDXGIResource** desktop_resource) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFramePointerShape(UINT buffer_size, void* buffer, UINT* required_size,
                                                           DXGI_OUTDUPL_POINTER_SHAPE_INFO* shape_info) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseFrame() = 0;

protected:
    ~IDXGIOutputDuplication() = default;
};

struct IDXGIOutput : IDXGIObject {
    static constexpr IID kIid = {0xAE02EEDB, 0xC735, 0x4690, {0x8D, 0x52, 0x5A, 0x8D, 0xC2, 0x02, 0x13, 0xAA}};

    virtual HRESULT STDMETHODCALLTYPE GetDesc(DXGI_OUTPUT_DESC* desc) = 0;

protected:
    ~IDXGIOutput() = default;
};

struct IDXGIOutput1 : IDXGIOutput {
    static constexpr IID kIid = {0x00CDDEA8, 0x939B, 0x4B83, {0xA3, 0x40, 0xA6, 0x85, 0x22, 0x66, 0x66, 0xCC}};

    virtual HRESULT STDMETHODCALLTYPE DuplicateOutput(IUnknown* device, IDXGIOutputDuplication** duplication) = 0;

protected:
    ~IDXGIOutput1() = default;
};

struct IDXGIAdapter : IDXGIObject {
    static constexpr IID kIid = {0x2411E7E1, 0x12AC, 0x4CCF, {0xBD, 0x14, 0x97, 0x98, 0xE8, 0x53, 0x4D, 0xC0}};

    virtual HRESULT STDMETHODCALLTYPE EnumOutputs(UINT output, IDXGIOutput** out) = 0;

protected:
    ~IDXGIAdapter() = default;
};

struct IDXGIAdapter1 : IDXGIAdapter {
    static constexpr IID kIid = {0x29038F61, 0x3839, 0x4626, {0x91, 0xFD, 0x08, 0x68, 0x79, 0x01, 0x1A, 0x05}};

    virtual HRESULT STDMETHODCALLTYPE GetDesc1(DXGI_ADAPTER_DESC1* desc) = 0;

protected:
    ~IDXGIAdapter1() = default;
};

struct IDXGIFactory1 : IDXGIObject {
    static constexpr IID kIid = {0x770AAE78, 0xF26F, 0x4DBA, {0xA8, 0x29, 0x25, 0x3C, 0x83, 0xD1, 0xB3, 0x87}};

    virtual HRESULT STDMETHODCALLTYPE EnumAdapters1(UINT adapter, IDXGIAdapter1** out) = 0;

protected:
    ~IDXGIFactory1() = default;
};

HRESULT CreateDXGIFactory1(REFIID riid, void** factory);
