// The Windows base types, status codes and helpers that the core names, declared
// with Windows' spellings and values so the same source compiles against the SDK.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
// The SDK's own type (LONG is `long` there), so that shim-built objects link with the
// SDK-built os layer.
using HRESULT = long;
#else
using HRESULT = std::int32_t;
#endif
using BOOL = int;
using UINT = unsigned int;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using INT = int;
using SIZE_T = std::size_t;
using BYTE = std::uint8_t;
using LARGE_INTEGER_QUAD = std::int64_t;
using WCHAR = char16_t;
using OLECHAR = char16_t;
using BSTR = OLECHAR*;
using HANDLE = void*;
using HMONITOR = void*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// Codes are written as their unsigned hex form, as the SDK does.
constexpr HRESULT hresult_of(std::uint32_t code) { return static_cast<HRESULT>(code); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = hresult_of(0x80004001u);
constexpr HRESULT E_NOINTERFACE = hresult_of(0x80004002u);
constexpr HRESULT E_POINTER = hresult_of(0x80004003u);
constexpr HRESULT E_FAIL = hresult_of(0x80004005u);
constexpr HRESULT E_UNEXPECTED = hresult_of(0x8000FFFFu);
constexpr HRESULT E_ACCESSDENIED = hresult_of(0x80070005u);
constexpr HRESULT E_HANDLE = hresult_of(0x80070006u);
constexpr HRESULT E_OUTOFMEMORY = hresult_of(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = hresult_of(0x80070057u);

// A Win32 error code as an HRESULT of the Win32 facility.
constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
    return error == 0 ? S_OK : hresult_of((error & 0xFFFFu) | 0x80070000u);
}

struct LUID {
    DWORD LowPart;
    LONG HighPart;
};

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

struct POINT {
    LONG x;
    LONG y;
};

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    friend constexpr bool operator==(const GUID& a, const GUID& b) {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i]) return false;
        return true;
    }
};
using IID = GUID;
using REFIID = const IID&;

// COM methods carry no calling-convention annotation off Windows.
#define STDMETHODCALLTYPE

using LONGLONG = std::int64_t;
using UINT64 = std::uint64_t;
using LPCWSTR = const WCHAR*;

struct SECURITY_ATTRIBUTES;  // only ever passed as null

constexpr HRESULT WAIT_ABANDONED = 0x00000080;
constexpr HRESULT WAIT_TIMEOUT = 0x00000102;
using HCURSOR = void*;

// Only QuadPart is used; the SDK's union also offers the two halves.
struct LARGE_INTEGER {
    LONGLONG QuadPart;
};
