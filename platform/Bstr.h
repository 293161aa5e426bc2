// BSTR: a length-prefixed UTF-16 string. A null BSTR is a valid empty value and differs from an
// allocated empty one; the length prefix allows embedded NULs. Of the shared libraries, only
// QNConvert64 exports these calls: hosts allocate the BSTRs they hand over with them.
#pragma once

#include <string>
#include <string_view>

#include "platform/Export.h"
#include "platform/WinTypes.h"

using OLECHAR = char16_t;
using BSTR = OLECHAR*;

// Allocates a copy of a NUL-terminated string; null for a null argument.
QN_EXPORT BSTR SysAllocString(const OLECHAR* text);
// Allocates `length` characters copied from `text` (or uninitialised-to-zero when `text` is null).
QN_EXPORT BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
// Frees a BSTR; a null argument is accepted.
QN_EXPORT void SysFreeString(BSTR text);
// Characters in the string, 0 for null.
QN_EXPORT UINT SysStringLen(BSTR text);

namespace platform {

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD so that no input is refused.
QN_EXPORT std::string ToUtf8(std::u16string_view text);
// UTF-8 to UTF-16; malformed sequences become U+FFFD.
QN_EXPORT std::u16string ToUtf16(std::string_view text);

inline std::u16string_view View(BSTR text) { return {text ? text : u"", SysStringLen(text)}; }

}  // namespace platform
