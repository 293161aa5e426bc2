// The logbook's writer, shared by the exception and error functions of QNError64.
#pragma once

#include "interfaces/QNError64.h"

namespace qnerror {

struct EntryText {
    XQNLogEntry::Kind kind;
    int severity;
    HRESULT result;
    DWORD lastError;
    std::u16string_view message;
    std::u16string_view extraText;
};

void Write(const QNErrorLocation& location, const EntryText& text) noexcept;
// An exception's own location and texts, with the location that handles it when one is given.
void Write(const XQNException& exception, const QNErrorLocation* handler) noexcept;

// Tells standard error that an entry was lost for want of memory.
void LostEntry() noexcept;

// Runs `write`, which builds and writes an entry: what it throws (no memory for the entry's text)
// costs the entry, never the caller, as writing functions always return.
template <typename Writing>
void Guarded(Writing&& write) noexcept
{
    try {
        write();
    } catch (...) {
        LostEntry();
    }
}

}  // namespace qnerror
