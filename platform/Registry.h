// The registry values under HKEY_LOCAL_MACHINE\SOFTWARE\KORVEL, read from an INI file: section
// [SOFTWARE\KORVEL], string values Name=text. The file is /etc/korvel/registry.ini unless
// KORVEL_REGISTRY names another; it is read anew on every open, so changes apply to the next
// read. A missing file, section or value reads as a missing value (ERROR_FILE_NOT_FOUND).
#pragma once

#include <optional>
#include <string>

#include "platform/Bstr.h"
#include "platform/WinTypes.h"

using HKEY = struct RegistryKey*;
using REGSAM = DWORD;

inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(0x80000002);
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
inline constexpr DWORD REG_SZ = 1;
inline constexpr LONG ERROR_SUCCESS = 0;

// Opens `subKey` of HKEY_LOCAL_MACHINE; only SOFTWARE\KORVEL exists.
LONG RegOpenKeyExW(HKEY root, const char16_t* subKey, DWORD options, REGSAM access, HKEY* key);
// A string value as UTF-16 with its terminator. With `data` null or `*size` too small, `*size`
// becomes the bytes needed (ERROR_MORE_DATA when data was given).
LONG RegQueryValueExW(HKEY key, const char16_t* name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size);
LONG RegCloseKey(HKEY key);

namespace platform {

// A value of SOFTWARE\KORVEL as UTF-8; empty when missing. For the settings of the platform itself
// (endpoints, certificate files).
std::optional<std::string> ReadKorvelValue(const char* name);
// The contents of the file that a value of SOFTWARE\KORVEL names; empty when the value is missing
// or the file can't be read.
std::optional<std::string> ReadKorvelFile(const char* name);
// The contents of the file at `path`; empty when it can't be read.
std::optional<std::string> ReadTextFile(const std::string& path);

}  // namespace platform

// The little of VARIANT that converting a registry string needs: a BSTR or a 32-bit integer.
enum VARENUM : USHORT { VT_EMPTY = 0, VT_INT = 22, VT_BSTR = 8 };

struct VARIANT {
    USHORT vt;
    union {
        BSTR bstrVal;
        int intVal;
    };
};

inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005);
inline constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000A);

void VariantInit(VARIANT* value);
// Frees what the variant owns and empties it.
HRESULT VariantClear(VARIANT* value);
// Converts `source` to `type` into `target` (which is cleared first). A text that is not a whole
// decimal number fails with DISP_E_TYPEMISMATCH.
HRESULT VariantChangeType(VARIANT* target, const VARIANT* source, USHORT flags, USHORT type);
