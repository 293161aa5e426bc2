#include <typeinfo>

#include "support/QNError64/Logbook.h"
#include "support/QNError64/LogbookOutput.h"

namespace {

using Kind = XQNLogEntry::Kind;

constexpr DWORD kFacilityRpc = 1;
constexpr HRESULT kRpcFacilityBits = static_cast<HRESULT>(0x80000000 | (kFacilityRpc << 16));

std::string Utf8(const OLECHAR* text) { return text == nullptr ? std::string() : platform::ToUtf8(text); }

std::u16string ForeignText(const char* what, std::u16string_view text)
{
    std::u16string joined = platform::ToUtf16(what);
    if (!text.empty()) {
        joined += u" - ";
        joined += text;
    }
    return joined;
}

}  // namespace

XQNException::XQNException(int type, const QNErrorLocation& location, HRESULT result, int severity, std::u16string_view message,
                           std::u16string_view extraText)
    : m_type(type), m_result(result), m_severity(severity), m_file(location.file == nullptr ? "" : location.file),
      m_line(location.line), m_component(Utf8(location.component)), m_function(Utf8(location.function)), m_message(message),
      m_extraText(extraText)
{
}

void XQNException::SetLastHandlerIdent(const QNErrorLocation& location) { m_lastHandler = Utf8(location.function); }

XWrappedQNException XQNExceptionFactory::DoCreateException(int type, const QNErrorLocation& location, HRESULT result, int severity,
                                                           std::u16string_view message, std::u16string_view extraText)
{
    return XWrappedQNException(std::make_shared<XQNException>(type, location, result, severity, message, extraText));
}

void XQNExceptionFactory::DoThrowException(int type, const QNErrorLocation& location, HRESULT result, int severity,
                                           std::u16string_view message, std::u16string_view extraText)
{
    throw DoCreateException(type, location, result, severity, message, extraText);
}

void XQNExceptionFactory::ThrowException(int type, const QNErrorLocation& location, HRESULT result, int severity,
                                         std::u16string_view message, std::u16string_view extraText)
{
    throw DoCreateException(type, location, result, severity, message, extraText);
}

XWrappedQNException XQNExceptionFactory::CreateSystemException(int type, const QNErrorLocation& location, std::u16string_view message,
                                                               std::u16string_view extraText)
{
    return DoCreateException(type, location, E_FAIL, QNSeverity_ForeignException, message, extraText);
}

int XHRErrorcodeHandler::GetErrorSeverity(HRESULT result) noexcept
{
    if (SUCCEEDED(result))
        return QNSeverity_Trace;
    if ((result & static_cast<HRESULT>(0x9FFF0000)) == kRpcFacilityBits)
        return QNSeverity_CallFailure;
    if (result == E_OUTOFMEMORY)
        return QNSeverity_ForeignException;
    return QNSeverity_Error;
}

void XQNError::DoThrowExcepAtError(int type, const QNErrorLocation& location, HRESULT result, int severity,
                                   std::u16string_view message, std::u16string_view extraText)
{
    XQNExceptionFactory::DoThrowException(type, location, result, severity, message, extraText);
}

void XQNError::CheckPtr_ThrowExcep(const QNErrorLocation& location, const void* pointer, std::u16string_view text)
{
    if (pointer == nullptr)
        XQNExceptionFactory::DoThrowException(QNExceptionType_System, location, E_POINTER, QNSeverity_ForeignException,
                                              text.empty() ? std::u16string_view(u"null pointer") : text, u"");
}

XWrappedQNException XQNError::CreateExcep(const QNErrorLocation& location, const std::exception& exception, int severity,
                                          std::u16string_view text)
{
    const std::string what = std::string(typeid(exception).name()) + ": " + exception.what();
    return XQNExceptionFactory::DoCreateException(QNExceptionType_System, location, E_FAIL, severity, ForeignText(what.c_str(), text), u"");
}

XWrappedQNException XQNError::CreateExcep(const QNErrorLocation& location, const _com_error& error, int severity,
                                          std::u16string_view text)
{
    return XQNExceptionFactory::DoCreateException(QNExceptionType_System, location, error.Error(), severity,
                                                  ForeignText("COM error", text), u"");
}

XWrappedQNException XQNError::CreateUnknownExcep(const QNErrorLocation& location, std::u16string_view text)
{
    return XQNExceptionFactory::DoCreateException(QNExceptionType_System, location, E_UNEXPECTED, QNSeverity_ForeignException,
                                                  ForeignText("unknown exception", text), u"");
}

void XQNError::WriteErrorToLogBook(const QNErrorLocation& location, int severity, std::u16string_view text)
{
    qnerror::Write(location, {Kind::Error, severity, E_FAIL, 0, text, u""});
}

void XQNError::WriteErrorToLogBook(const QNErrorLocation& location, HRESULT result, int severity, std::u16string_view text)
{
    qnerror::Write(location, {Kind::Error, severity, result, 0, text, u""});
}

void XQNError::WriteErrorToLogBook(const XWrappedQNException& exception)
{
    if (exception.HasException())
        qnerror::Write(exception.Get(), nullptr);
}

void XQNError::WriteErrorToLogBook(const QNErrorLocation& location, const XWrappedQNException& exception)
{
    if (exception.HasException())
        qnerror::Write(exception.Get(), &location);
}

void XQNError::WriteErrorToLogBook(const QNErrorLocation& location, const std::exception& exception, int severity,
                                   std::u16string_view text)
{
    qnerror::Guarded([&] { WriteErrorToLogBook(CreateExcep(location, exception, severity, text)); });
}

void XQNError::WriteErrorToLogBook(const QNErrorLocation& location, const _com_error& error, std::u16string_view text)
{
    qnerror::Guarded([&] { WriteErrorToLogBook(CreateExcep(location, error, QNSeverity_ConnectionFailure, text)); });
}

void XQNError::WriteUnknownErrorToLogBook(const QNErrorLocation& location, std::u16string_view text)
{
    qnerror::Guarded([&] { WriteErrorToLogBook(CreateUnknownExcep(location, text)); });
}

void XQNError::WriteLineToErrorLogBook(const QNErrorLocation& location, HRESULT result, int severity, std::u16string_view text,
                                       std::u16string_view extraText)
{
    qnerror::Write(location, {Kind::Line, severity, result, 0, text, extraText});
}

void XQNError::WriteTraceToErrorLogBook(const QNErrorLocation& location, int severity, std::u16string_view text,
                                        std::u16string_view extraText)
{
    qnerror::Write(location, {Kind::Trace, severity, S_OK, 0, text, extraText});
}

void XQNError::WriteAPIErrorToLogBook(const QNErrorLocation& location, int severity, std::u16string_view text, DWORD lastError)
{
    qnerror::Write(location, {Kind::ApiError, severity, HResultFromLastError(lastError), lastError, text, u""});
}

HRESULT XQNError::SetComAppError(const QNErrorLocation& location, HRESULT result, std::u16string_view text,
                                 std::u16string_view extraText)
{
    qnerror::Write(location, {Kind::Error, XHRErrorcodeHandler::GetErrorSeverity(result), result, 0, text, extraText});
    return result;
}

void XQNLogbook::Open() noexcept { qnerror::OpenLogbook(); }
