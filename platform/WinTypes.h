// The Windows base types, result codes and GUIDs that the library's code keeps using on Linux.
#pragma once

#include <cstdint>
#include <string>

using HRESULT = std::int32_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;   // Windows long is 32 bits wide
using ULONG = std::uint32_t;
using UINT = std::uint32_t;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using BOOL = int;
using BYTE = std::uint8_t;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using WCHAR = char16_t;
using HANDLE = void*;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005);
inline constexpr HRESULT RPC_E_SERVERFAULT = static_cast<HRESULT>(0x80010105);

inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
inline constexpr DWORD RPC_S_SERVER_UNAVAILABLE = 1722;
inline constexpr DWORD RPC_S_CALL_FAILED = 1726;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_CANCELLED = 1818;
inline constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;

inline constexpr DWORD INFINITE = 0xFFFFFFFF;

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// A Win32 error code as an HRESULT of FACILITY_WIN32.
constexpr HRESULT HRESULT_FROM_WIN32(DWORD code)
{
    return code == 0 ? S_OK : static_cast<HRESULT>((code & 0x0000FFFF) | 0x80070000);
}

// The mapping the library applies to a last-error code it reports: 0 is E_FAIL, a positive code
// becomes a FACILITY_WIN32 result, anything else is taken as an HRESULT already.
constexpr HRESULT HResultFromLastError(DWORD code)
{
    const auto signedCode = static_cast<std::int32_t>(code);
    if (signedCode == 0)
        return E_FAIL;
    if (signedCode > 0)
        return static_cast<HRESULT>(0x80070000 | (code & 0xFFFF));
    return signedCode;
}

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    friend bool operator==(const GUID&, const GUID&) = default;
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

// The registry form of a GUID: "{DB1C4065-D726-4CD1-8CC3-F1923C31376B}".
std::string GuidToString(const GUID& guid);
