#include "Cominc64/XThreadedTask.h"

#include "module/QNResourceAgentModule.h"

namespace cominc {

namespace {

constexpr const char* kFile = "Cominc64/XThreadedTask";
constexpr int kLineNoScheduler = 50;
constexpr int kLineStandardException = 425;
constexpr int kLineUnknownException = 429;
constexpr int kLineUnknownWhileStopping = 442;

// The function names of the task template's locations, built once on first use.
struct FunctionNames {
    XQNComBSTR execute{u"XThreadedTask<owner, ThreadSchedulerTraits>::_Execute(owner* p)"};
    XQNComBSTR setTaskStopped{u"XThreadedTask::SetTaskStopped()"};
    XQNComBSTR stop{u"XThreadedTask::Stop()"};
    XQNComBSTR waitForTermination{u"XThreadedTask::WaitForTermination()"};
    XQNComBSTR startThread{u"XThreadedTaskTraits::XThreadSchedulerTraits<XThreadScheduler>::StartThread"};
};

const FunctionNames& Names()
{
    static const FunctionNames names;
    return names;
}

struct FailurePlace {
    const XQNComBSTR& function;
    int line;
    std::u16string_view message;
};

FailurePlace PlaceOf(TaskFailure failure)
{
    const FunctionNames& n = Names();
    switch (failure) {
    case TaskFailure::NoStartEvent: return {n.execute, 410, u"task start event not created"};
    case TaskFailure::SetStartEvent: return {n.execute, 414, u"SetEvent failed"};
    case TaskFailure::SetTerminationEvent: return {n.execute, 448, u"SetEvent failed"};
    case TaskFailure::SetCompletionEvent: return {n.setTaskStopped, 308, u"SetEvent failed"};
    case TaskFailure::NoCompletionEvent: return {n.stop, 528, u"no task completion event created"};
    case TaskFailure::StopTimeout: return {n.stop, 534, u"wait event timeout"};
    case TaskFailure::TerminationTimeout: return {n.waitForTermination, 555, u"wait event timeout"};
    case TaskFailure::StartThread: break;
    }
    return {n.startThread, 55, u"starting thread failed"};
}

}  // namespace

XWrappedQNException TaskException(TaskFailure failure)
{
    const FailurePlace place = PlaceOf(failure);
    return XQNExceptionFactory::DoCreateException(QNExceptionType_System, XQNResourceAgentModule::Location(kFile, place.line, place.function),
                                                  E_FAIL, QNSeverity_TaskFailure, place.message, u"");
}

void ThrowTaskFailure(TaskFailure failure) { throw TaskException(failure); }

XWrappedQNException KeepStandardException(const std::exception& exception)
{
    return XQNError::CreateExcep(XQNResourceAgentModule::Location(kFile, kLineStandardException, Names().execute), exception,
                                 QNSeverity_ForeignException, u"");
}

XWrappedQNException KeepUnknownException(bool whileStopping)
{
    if (whileStopping)
        return XQNError::CreateUnknownExcep(XQNResourceAgentModule::Location(kFile, kLineUnknownWhileStopping, Names().setTaskStopped), u"");
    return XQNError::CreateUnknownExcep(XQNResourceAgentModule::Location(kFile, kLineUnknownException, Names().execute), u"");
}

void CheckScheduler(const XThreadScheduler* scheduler)
{
    XQNError::CheckPtr_ThrowExcep(XQNResourceAgentModule::Location(kFile, kLineNoScheduler, Names().startThread), scheduler, u"");
}

XWrappedQNException KeepTaskBodyFailure(const QNErrorLocation& location)
{
    try {
        throw;
    } catch (XWrappedQNException& exception) {
        exception.GetWritable().SetLastHandlerIdent(location);
        return exception;
    } catch (const _com_error& error) {
        return XQNError::CreateExcep(location, error, QNSeverity_ConnectionFailure, u"");
    } catch (const std::exception& exception) {
        return XQNError::CreateExcep(location, exception, QNSeverity_ForeignException, u"");
    } catch (...) {
        return XQNError::CreateUnknownExcep(location, u"");
    }
}

}  // namespace cominc
