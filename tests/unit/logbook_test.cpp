#include <gtest/gtest.h>

#include <thread>

#include "interfaces/QNError64.h"
#include "platform/Thread.h"

namespace {

const QNErrorLocation kHere{"logbook_test", 42, u"QNResourceAgent", u"Test::Function"};

TEST(Logbook, CaptureKeepsEveryFieldOfAnEntry)
{
    XQNLogbookCapture capture;
    XQNError::WriteErrorToLogBook(kHere, static_cast<HRESULT>(0x800706BA), QNSeverity_CallFailure, u"call failed");
    const auto entries = capture.Entries();
    ASSERT_EQ(entries.size(), 1u);
    const auto& e = entries[0];
    EXPECT_EQ(e.kind, XQNLogEntry::Kind::Error);
    EXPECT_EQ(e.severity, 5);
    EXPECT_EQ(e.result, static_cast<HRESULT>(0x800706BA));
    EXPECT_EQ(e.file, "logbook_test");
    EXPECT_EQ(e.line, 42);
    EXPECT_EQ(e.component, "QNResourceAgent");
    EXPECT_EQ(e.function, "Test::Function");
    EXPECT_EQ(e.message, "call failed");
    EXPECT_EQ(e.processId, GetCurrentProcessId());
    EXPECT_EQ(e.threadId, GetCurrentThreadId());
}

TEST(Logbook, ApiErrorsCarryTheLastErrorAndItsResultCode)
{
    XQNLogbookCapture capture;
    XQNError::WriteAPIErrorToLogBook(kHere, QNSeverity_CallFailure, u"WIN API call X failed", 5);
    XQNError::WriteAPIErrorToLogBook(kHere, QNSeverity_CallFailure, u"WIN API call Y failed", 0);
    const auto entries = capture.Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].kind, XQNLogEntry::Kind::ApiError);
    EXPECT_EQ(entries[0].lastError, 5u);
    EXPECT_EQ(entries[0].result, static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(entries[1].result, E_FAIL);
}

TEST(Logbook, CaptureSeesEntriesOfOtherThreadsAndStopsWhenDestroyed)
{
    auto capture = std::make_unique<XQNLogbookCapture>();
    std::thread([] { XQNError::WriteTraceToErrorLogBook(kHere, QNSeverity_Trace, u"from a worker", u"extra"); }).join();
    ASSERT_EQ(capture->WithMessage("from a worker").size(), 1u);
    EXPECT_EQ(capture->WithMessage("from a worker")[0].extraText, "extra");
    capture.reset();
    XQNLogbookCapture later;
    EXPECT_TRUE(later.Entries().empty());
}

TEST(Exceptions, FactoryThrowsAWrappedExceptionWithAllItsParts)
{
    try {
        XQNExceptionFactory::DoThrowException(QNExceptionType_Application, kHere, E_FAIL, QNSeverity_Error, u"message", u"extra");
        FAIL() << "did not throw";
    } catch (const XWrappedQNException& wrapped) {
        ASSERT_TRUE(wrapped.HasException());
        const XQNException& e = wrapped.Get();
        EXPECT_EQ(e.Type(), 8);
        EXPECT_EQ(e.Result(), E_FAIL);
        EXPECT_EQ(e.Severity(), 6);
        EXPECT_EQ(e.Line(), 42);
        EXPECT_EQ(e.Function(), "Test::Function");
        EXPECT_EQ(e.Message().View(), u"message");
        EXPECT_EQ(e.ExtraText().View(), u"extra");
    }
}

TEST(Exceptions, CopiesShareOneException)
{
    XWrappedQNException first = XQNExceptionFactory::DoCreateException(2, kHere, E_FAIL, 11, u"m", u"");
    XWrappedQNException second = first;
    second.GetWritable().SetLastHandlerIdent({"x", 1, u"QNResourceAgent", u"Handler::Catch"});
    EXPECT_EQ(first.Get().LastHandler(), "Handler::Catch");
    EXPECT_FALSE(XWrappedQNException().HasException());
}

TEST(Exceptions, CheckPtrThrowsOnlyForNull)
{
    int value = 0;
    EXPECT_NO_THROW(XQNError::CheckPtr_ThrowExcep(kHere, &value, u""));
    try {
        XQNError::CheckPtr_ThrowExcep(kHere, nullptr, u"");
        FAIL() << "did not throw";
    } catch (const XWrappedQNException& wrapped) {
        EXPECT_EQ(wrapped.Get().Result(), E_POINTER);
    }
}

TEST(Exceptions, ForeignExceptionsKeepTheirText)
{
    const auto kept = XQNError::CreateExcep(kHere, std::runtime_error("boom"), QNSeverity_ForeignException, u"while testing");
    EXPECT_EQ(kept.Get().Severity(), 8);
    EXPECT_NE(kept.Get().Message().ToUtf8().find("boom"), std::string::npos);
    EXPECT_NE(kept.Get().Message().ToUtf8().find("while testing"), std::string::npos);
    EXPECT_EQ(XQNError::CreateExcep(kHere, _com_error(E_ACCESSDENIED), 3, u"").Get().Result(), E_ACCESSDENIED);
}

TEST(ErrorSeverity, RpcFailuresAreCallFailures)
{
    EXPECT_EQ(XHRErrorcodeHandler::GetErrorSeverity(S_OK), 1);
    EXPECT_EQ(XHRErrorcodeHandler::GetErrorSeverity(static_cast<HRESULT>(0x800106BA)), 5);
    EXPECT_EQ(XHRErrorcodeHandler::GetErrorSeverity(E_OUTOFMEMORY), 8);
    EXPECT_EQ(XHRErrorcodeHandler::GetErrorSeverity(E_INVALIDARG), 6);
}

TEST(Logbook, SetComAppErrorLogsAndHandsBackTheResult)
{
    XQNLogbookCapture capture;
    EXPECT_EQ(XQNError::SetComAppError(kHere, static_cast<HRESULT>(0x8004085B), u"reading failed", u""), static_cast<HRESULT>(0x8004085B));
    ASSERT_EQ(capture.WithMessage("reading failed").size(), 1u);
}

}  // namespace
