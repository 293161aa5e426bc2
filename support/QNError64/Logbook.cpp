#include "support/QNError64/Logbook.h"

#include <fmt/format.h>

#include <algorithm>
#include <list>
#include <mutex>

#include "platform/Thread.h"
#include "support/QNError64/LogbookOutput.h"

namespace {

const char* KindName(XQNLogEntry::Kind kind)
{
    switch (kind) {
    case XQNLogEntry::Kind::Error: return "ERROR";
    case XQNLogEntry::Kind::ApiError: return "APIERR";
    case XQNLogEntry::Kind::Line: return "LINE";
    case XQNLogEntry::Kind::Trace: return "TRACE";
    }
    return "?";
}

struct CaptureRegistry {
    std::mutex mutex;
    std::list<std::vector<XQNLogEntry>*> captures;
};

CaptureRegistry& Captures()
{
    static CaptureRegistry registry;
    return registry;
}

void Emit(XQNLogEntry entry)
{
    qnerror::WriteLine(entry.kind == XQNLogEntry::Kind::Trace || entry.kind == XQNLogEntry::Kind::Line ? spdlog::level::info : spdlog::level::err,
                       fmt::format("{} sev={} pid={} tid={} {} {}:{} {} hr=0x{:08X}{} \"{}\" \"{}\"", KindName(entry.kind), entry.severity,
                                   entry.processId, entry.threadId, entry.component, entry.file, entry.line, entry.function,
                                   static_cast<std::uint32_t>(entry.result),
                                   entry.kind == XQNLogEntry::Kind::ApiError ? fmt::format(" errno={}", entry.lastError) : std::string(),
                                   entry.message, entry.extraText));
    auto& registry = Captures();
    std::lock_guard lock(registry.mutex);
    for (auto* capture : registry.captures)
        capture->push_back(entry);
}

std::string Utf8(const OLECHAR* text) { return text == nullptr ? std::string() : platform::ToUtf8(text); }

}  // namespace

namespace qnerror {

void Write(const QNErrorLocation& location, const EntryText& text) noexcept
{
    Guarded([&] {
        Emit({text.kind, text.severity, text.result, text.lastError, GetCurrentProcessId(), GetCurrentThreadId(),
              location.file == nullptr ? std::string() : location.file, location.line, Utf8(location.component), Utf8(location.function),
              platform::ToUtf8(text.message), platform::ToUtf8(text.extraText)});
    });
}

void Write(const XQNException& exception, const QNErrorLocation* handler) noexcept
{
    Guarded([&] {
        std::string extra = exception.ExtraText().ToUtf8();
        const std::string handledBy = handler != nullptr ? Utf8(handler->function) : exception.LastHandler();
        if (!handledBy.empty())
            extra += (extra.empty() ? "" : " ") + std::string("[handled in ") + handledBy + "]";
        Emit({XQNLogEntry::Kind::Error, exception.Severity(), exception.Result(), 0, GetCurrentProcessId(), GetCurrentThreadId(),
              exception.File(), exception.Line(), exception.Component(), exception.Function(), exception.Message().ToUtf8(), extra});
    });
}

void LostEntry() noexcept { WriteLine(spdlog::level::err, "QNError64: out of memory - a logbook entry was lost"); }

}  // namespace qnerror

struct XQNLogbookCapture::Impl {
    std::vector<XQNLogEntry> entries;
};

XQNLogbookCapture::XQNLogbookCapture() : m_impl(std::make_unique<Impl>())
{
    auto& registry = Captures();
    std::lock_guard lock(registry.mutex);
    registry.captures.push_back(&m_impl->entries);
}

XQNLogbookCapture::~XQNLogbookCapture()
{
    auto& registry = Captures();
    std::lock_guard lock(registry.mutex);
    registry.captures.remove(&m_impl->entries);
}

std::vector<XQNLogEntry> XQNLogbookCapture::Entries() const
{
    std::lock_guard lock(Captures().mutex);
    return m_impl->entries;
}

std::vector<XQNLogEntry> XQNLogbookCapture::WithMessage(std::string_view message) const
{
    std::vector<XQNLogEntry> found;
    std::lock_guard lock(Captures().mutex);
    std::copy_if(m_impl->entries.begin(), m_impl->entries.end(), std::back_inserter(found),
                 [message](const XQNLogEntry& entry) { return entry.message == message; });
    return found;
}

void XQNLogbookCapture::Clear()
{
    std::lock_guard lock(Captures().mutex);
    m_impl->entries.clear();
}
