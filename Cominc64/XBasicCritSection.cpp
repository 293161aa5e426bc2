#include "Cominc64/XBasicCritData.h"

#include "module/QNResourceAgentModule.h"

namespace cominc {

namespace {

constexpr const char* kFile = "Cominc64/XBasicCritSection";
constexpr int kLineWriteOnRead = 111;
constexpr int kLineBelowZero = 180;
constexpr int kLineNotRemoved = 206;
constexpr int kLineWithoutReference = 216;

void LogRelease(int line, std::u16string_view message)
{
    static const XQNComBSTR function(u"XBasicRefCountCritSection::ReleaseLockRef()");
    XQNError::WriteErrorToLogBook(
        XQNExceptionFactory::CreateSystemException(QNExceptionType_Application, XQNResourceAgentModule::Location(kFile, line, function), message, u""));
}

}  // namespace

void ThrowWriteReferenceOnReadLock()
{
    static const XQNComBSTR function(u"XBasicRefCountCritSection::AddLockRef()");
    XQNExceptionFactory::DoThrowException(QNExceptionType_Application, XQNResourceAgentModule::Location(kFile, kLineWriteOnRead, function),
                                          E_FAIL, QNSeverity_ForeignException, u"unable to add a write lock reference to a read lock", u"");
}

void LogReleaseWithoutReference()
{
    LogRelease(kLineWithoutReference, u"trying to unlock the critical section without having it locked for the running thread");
}

void LogReleaseBelowZero()
{
    LogRelease(kLineBelowZero, u"trying to unlock the critical section being already unlocked for the running thread before");
}

void LogEntryNotRemoved() { LogRelease(kLineNotRemoved, u"critical section reference count entry found for a thread expected to be removed"); }

}  // namespace cominc

void cominc::ThrowNullGuardedPointer()
{
    static const XQNComBSTR function(u"XCritProxyDataPtr<T>::GetCheckedPtr");
    constexpr int kLineCheckedPtr = 292;
    XQNError::CheckPtr_ThrowExcep(XQNResourceAgentModule::Location("Cominc64/XBasicCritData", kLineCheckedPtr, function), nullptr, u"");
    __builtin_unreachable();  // raised above: the pointer is null
}
