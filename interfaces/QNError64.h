// QNError64: the server's error logbook and exception factory.
//
// Every entry is one line (time, severity, process and thread ids, component, file:line, function,
// HRESULT, message, extra text) written through spdlog to standard error, or to a rotating file
// when QN_LOGBOOK names one. All functions are safe for concurrent use. Raising functions never
// return; writing functions always return and throw nothing: an entry that can't reach its file
// goes to standard error, one that can't be built for want of memory is lost with a note there.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "interfaces/QNConvert64.h"
#include "platform/Com.h"
#include "platform/Export.h"
#include "platform/WinTypes.h"

// The severities this system writes.
enum QNSeverity : int {
    QNSeverity_Trace = 1,            // events sent on, received machine alerts
    QNSeverity_ConnectionFailure = 3,
    QNSeverity_EventTrace = 4,       // received process events
    QNSeverity_CallFailure = 5,      // failed system calls, RPC failures
    QNSeverity_Error = 6,            // errors the library raises itself
    QNSeverity_ForeignException = 8, // lock errors, converted foreign exceptions
    QNSeverity_TaskFailure = 11,
};

enum QNExceptionType : int {
    QNExceptionType_System = 2,
    QNExceptionType_Application = 8,
    QNExceptionType_Connection = 18,
};

// Where an entry or an exception comes from. Holds pointers only: build it per call from strings
// that outlive the call.
struct QNErrorLocation {
    const char* file;
    int line;
    const OLECHAR* component;
    const OLECHAR* function;
};

// An error of the server: type, location, result code, severity, message and extra text.
class QN_EXPORT XQNException {
public:
    XQNException(int type, const QNErrorLocation& location, HRESULT result, int severity, std::u16string_view message,
                 std::u16string_view extraText);

    int Type() const noexcept { return m_type; }
    HRESULT Result() const noexcept { return m_result; }
    int Severity() const noexcept { return m_severity; }
    const std::string& File() const noexcept { return m_file; }
    int Line() const noexcept { return m_line; }
    const std::string& Component() const noexcept { return m_component; }
    const std::string& Function() const noexcept { return m_function; }
    const XQNComBSTR& Message() const noexcept { return m_message; }
    const XQNComBSTR& ExtraText() const noexcept { return m_extraText; }
    // The function that last caught and kept this exception; empty until one did.
    const std::string& LastHandler() const noexcept { return m_lastHandler; }
    void SetLastHandlerIdent(const QNErrorLocation& location);

private:
    int m_type;
    HRESULT m_result;
    int m_severity;
    std::string m_file;
    int m_line;
    std::string m_component;
    std::string m_function;
    XQNComBSTR m_message;
    XQNComBSTR m_extraText;
    std::string m_lastHandler;
};

// What the factory throws and what tasks keep: a value holding a shared reference to an exception.
class QN_EXPORT XWrappedQNException {
public:
    XWrappedQNException() noexcept = default;
    explicit XWrappedQNException(std::shared_ptr<XQNException> exception) noexcept : m_exception(std::move(exception)) {}

    bool HasException() const noexcept { return m_exception != nullptr; }
    // The exception; must only be called when HasException().
    const XQNException& Get() const noexcept { return *m_exception; }
    XQNException& GetWritable() noexcept { return *m_exception; }

private:
    std::shared_ptr<XQNException> m_exception;
};

class QN_EXPORT XQNExceptionFactory {
public:
    [[noreturn]] static void DoThrowException(int type, const QNErrorLocation& location, HRESULT result, int severity,
                                              std::u16string_view message, std::u16string_view extraText);
    [[noreturn]] static void ThrowException(int type, const QNErrorLocation& location, HRESULT result, int severity,
                                            std::u16string_view message, std::u16string_view extraText);
    // A system exception (E_FAIL, severity 8) to be logged rather than thrown.
    static XWrappedQNException CreateSystemException(int type, const QNErrorLocation& location, std::u16string_view message,
                                                     std::u16string_view extraText);
    static XWrappedQNException DoCreateException(int type, const QNErrorLocation& location, HRESULT result, int severity,
                                                 std::u16string_view message, std::u16string_view extraText);
};

class QN_EXPORT XHRErrorcodeHandler {
public:
    // The severity the logbook gives a result code: 1 for success, 5 for RPC failures, 8 for out of
    // memory, 6 for every other failure.
    static int GetErrorSeverity(HRESULT result) noexcept;
};

class QN_EXPORT XQNError {
public:
    [[noreturn]] static void DoThrowExcepAtError(int type, const QNErrorLocation& location, HRESULT result, int severity,
                                                 std::u16string_view message, std::u16string_view extraText);
    // Raises the null-pointer exception (E_POINTER) when `pointer` is null.
    static void CheckPtr_ThrowExcep(const QNErrorLocation& location, const void* pointer, std::u16string_view text);

    static XWrappedQNException CreateExcep(const QNErrorLocation& location, const std::exception& exception, int severity,
                                           std::u16string_view text);
    static XWrappedQNException CreateExcep(const QNErrorLocation& location, const _com_error& error, int severity,
                                           std::u16string_view text);
    static XWrappedQNException CreateUnknownExcep(const QNErrorLocation& location, std::u16string_view text);

    static void WriteErrorToLogBook(const QNErrorLocation& location, int severity, std::u16string_view text);
    static void WriteErrorToLogBook(const QNErrorLocation& location, HRESULT result, int severity, std::u16string_view text);
    static void WriteErrorToLogBook(const XWrappedQNException& exception);
    static void WriteErrorToLogBook(const QNErrorLocation& location, const XWrappedQNException& exception);
    static void WriteErrorToLogBook(const QNErrorLocation& location, const std::exception& exception, int severity,
                                    std::u16string_view text);
    static void WriteErrorToLogBook(const QNErrorLocation& location, const _com_error& error, std::u16string_view text);
    static void WriteUnknownErrorToLogBook(const QNErrorLocation& location, std::u16string_view text);
    static void WriteLineToErrorLogBook(const QNErrorLocation& location, HRESULT result, int severity, std::u16string_view text,
                                        std::u16string_view extraText);
    static void WriteTraceToErrorLogBook(const QNErrorLocation& location, int severity, std::u16string_view text,
                                         std::u16string_view extraText);
    // A failed operating-system call; `lastError` is its errno.
    static void WriteAPIErrorToLogBook(const QNErrorLocation& location, int severity, std::u16string_view text, DWORD lastError);
    // Records the error for the COM caller (in the logbook, on Linux) and returns `result`.
    static HRESULT SetComAppError(const QNErrorLocation& location, HRESULT result, std::u16string_view text,
                                  std::u16string_view extraText);
};

// The logbook's file, which its first entry opens unless Open came first.
class QN_EXPORT XQNLogbook {
public:
    // Opens the file that QN_LOGBOOK names now (none: standard error), unless it is open already, so
    // that it is there before an entry is needed: a daemon opens it before it serves, the load
    // monitor when it starts. A file that can't be opened, written or rotated is named on standard
    // error with the reason, in one line; entries go there meanwhile, and the file is tried again a
    // minute later.
    static void Open() noexcept;
};

// One entry of the logbook as the in-memory capture keeps it; strings are UTF-8.
struct XQNLogEntry {
    enum class Kind { Error, ApiError, Line, Trace };
    Kind kind;
    int severity;
    HRESULT result;
    DWORD lastError;
    DWORD processId;
    DWORD threadId;
    std::string file;
    int line;
    std::string component;
    std::string function;
    std::string message;
    std::string extraText;
};

// Keeps every entry written while it exists, beside the normal sinks; for tests and for hosts
// that show recent entries. Safe for concurrent use.
class QN_EXPORT XQNLogbookCapture {
public:
    XQNLogbookCapture();
    ~XQNLogbookCapture();
    XQNLogbookCapture(const XQNLogbookCapture&) = delete;
    XQNLogbookCapture& operator=(const XQNLogbookCapture&) = delete;

    std::vector<XQNLogEntry> Entries() const;
    // Entries whose message is exactly `message`.
    std::vector<XQNLogEntry> WithMessage(std::string_view message) const;
    void Clear();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
