// Direct3D 11: device creation, 2D textures, and the immediate context's copy and
// mapping calls.
#pragma once

#include "platform/shim/dxgi.h"

enum D3D_DRIVER_TYPE : int { D3D_DRIVER_TYPE_UNKNOWN = 0, D3D_DRIVER_TYPE_HARDWARE = 1 };
enum D3D_FEATURE_LEVEL : int { D3D_FEATURE_LEVEL_11_0 = 0xb000 };
constexpr UINT D3D11_SDK_VERSION = 7;
constexpr UINT D3D11_CREATE_DEVICE_BGRA_SUPPORT = 0x20;

enum D3D11_USAGE : int { D3D11_USAGE_DEFAULT = 0, D3D11_USAGE_STAGING = 3 };
enum D3D11_BIND_FLAG : int { D3D11_BIND_SHADER_RESOURCE = 0x8, D3D11_BIND_RENDER_TARGET = 0x20 };
enum D3D11_CPU_ACCESS_FLAG : int { D3D11_CPU_ACCESS_READ = 0x20000 };
enum D3D11_RESOURCE_MISC_FLAG : int {
    D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX = 0x100,
    D3D11_RESOURCE_MISC_SHARED_NTHANDLE = 0x800,
};
enum D3D11_MAP : int { D3D11_MAP_READ = 1 };

struct D3D11_TEXTURE2D_DESC {
    UINT Width;
    UINT Height;
    UINT MipLevels;
    UINT ArraySize;
    DXGI_FORMAT Format;
    DXGI_SAMPLE_DESC SampleDesc;
    D3D11_USAGE Usage;
    UINT BindFlags;
    UINT CPUAccessFlags;
    UINT MiscFlags;
};

struct D3D11_SUBRESOURCE_DATA {
    const void* pSysMem;
    UINT SysMemPitch;
    UINT SysMemSlicePitch;
};

struct D3D11_MAPPED_SUBRESOURCE {
    void* pData;
    UINT RowPitch;
    UINT DepthPitch;
};

struct ID3D11DeviceChild : IUnknown {
    static constexpr IID kIid = {0x1841E5C8, 0x16B0, 0x489B, {0xBC, 0xC8, 0x44, 0xCF, 0xB0, 0xD5, 0xDE, 0xAE}};

protected:
    ~ID3D11DeviceChild() = default;
};

struct ID3D11Resource : ID3D11DeviceChild {
    static constexpr IID kIid = {0xDC8E63F3, 0xD12B, 0x4952, {0xB4, 0x7B, 0x5E, 0x45, 0x02, 0x6A, 0x86, 0x2D}};

protected:
    ~ID3D11Resource() = default;
};

struct ID3D11Texture2D : ID3D11Resource {
    static constexpr IID kIid = {0x6F15AAF2, 0xD208, 0x4E89, {0x9A, 0xB4, 0x48, 0x95, 0x35, 0xD3, 0x4F, 0x9C}};

    virtual void STDMETHODCALLTYPE GetDesc(D3D11_TEXTURE2D_DESC* desc) = 0;

protected:
    ~ID3D11Texture2D() = default;
};

struct ID3D11DeviceContext : ID3D11DeviceChild {
    static constexpr IID kIid = {0xC0BFA96C, 0xE089, 0x44FB, {0x8E, 0xAF, 0x26, 0xF8, 0x79, 0x61, 0x90, 0xDA}};

    virtual void STDMETHODCALLTYPE CopyResource(ID3D11Resource* destination, ID3D11Resource* source) = 0;
    virtual HRESULT STDMETHODCALLTYPE Map(ID3D11Resource* resource, UINT subresource, D3D11_MAP map_type,
                                          UINT map_flags, D3D11_MAPPED_SUBRESOURCE* mapped) = 0;
    virtual void STDMETHODCALLTYPE Unmap(ID3D11Resource* resource, UINT subresource) = 0;

protected:
    ~ID3D11DeviceContext() = default;
};

struct ID3D11Device : IUnknown {
    static constexpr IID kIid = {0xDB6F6DDB, 0xAC77, 0x4E88, {0x82, 0x53, 0x81, 0x9D, 0xF9, 0xBB, 0xF1, 0x40}};

    virtual HRESULT STDMETHODCALLTYPE CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc,
                                                      const D3D11_SUBRESOURCE_DATA* initial_data,
                                                      ID3D11Texture2D** texture) = 0;

protected:
    ~ID3D11Device() = default;
};

HRESULT D3D11CreateDevice(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driver_type, void* software, UINT flags,
                          const D3D_FEATURE_LEVEL* feature_levels, UINT feature_level_count, UINT sdk_version,
                          ID3D11Device** device, D3D_FEATURE_LEVEL* feature_level,
                          ID3D11DeviceContext** immediate_context);
