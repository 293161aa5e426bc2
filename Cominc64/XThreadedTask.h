// XThreadedTask: one worker thread of an owner. Start runs Execute(owner) once on a thread of the
// scheduler; every exception on the worker is kept in the task's exception slot (and never leaves
// the thread); Stop asks the worker to stop and waits until it has ended. A task runs at most once.
// Start and Stop may be called from any thread; the derived class's Execute tests IsStopRequested
// between passes.
#pragma once

#include "Cominc64/XBasicCritData.h"
#include "Cominc64/XThreadSync.h"
#include "interfaces/QNError64.h"
#include "interfaces/QNServerBaseLib64.h"
#include "platform/Event.h"

#include <atomic>
#include <exception>

namespace cominc {

// The raises and kept exceptions of the task template, by their place in the original.
enum class TaskFailure { NoStartEvent, SetStartEvent, SetTerminationEvent, SetCompletionEvent, NoCompletionEvent, StopTimeout, TerminationTimeout, StartThread };

[[noreturn]] void ThrowTaskFailure(TaskFailure failure);
XWrappedQNException TaskException(TaskFailure failure);
XWrappedQNException KeepStandardException(const std::exception& exception);
XWrappedQNException KeepUnknownException(bool whileStopping);
void CheckScheduler(const XThreadScheduler* scheduler);
// The exception being handled that ends a task body, kept as the support library's with
// `location` (a COM error with severity 3, other foreign exceptions with 8). Call inside a catch.
XWrappedQNException KeepTaskBodyFailure(const QNErrorLocation& location);

}  // namespace cominc

namespace XThreadedTaskTraits {

template <typename Scheduler>
struct XThreadSchedulerTraits {
    // Starts `proc(task)` on a new thread of the scheduler; raises when it can't.
    static void StartThread(DWORD (*proc)(void*), void* task, int schedulerArgument)
    {
        Scheduler* scheduler = Scheduler::GetInstance();
        cominc::CheckScheduler(scheduler);
        if (scheduler->StartThread(proc, task, schedulerArgument) == nullptr)
            cominc::ThrowTaskFailure(cominc::TaskFailure::StartThread);
    }
};

}  // namespace XThreadedTaskTraits

template <typename Owner, typename Traits>
class XThreadedTask {
public:
    enum ProceedStatus : LONG { NotStarted = 0, Running = 1, Stopped = 2 };

    explicit XThreadedTask(int schedulerArgument) : m_schedulerArgument(schedulerArgument)
    {
        XThreadSync::CreateEvent(m_startEvent, false);
    }
    XThreadedTask(const XThreadedTask& prototype) : m_schedulerArgument(prototype.m_schedulerArgument) { CopyPrototype(prototype); }
    XThreadedTask& operator=(const XThreadedTask&) = delete;

    virtual ~XThreadedTask()
    {
        Stop();
        {
            auto status = m_status.GetReadProxy();
            CloseEvent(m_completionEvent);
        }
        CloseEvent(m_startEvent);
        CloseEvent(m_terminationEvent);
    }

    // Keeps `exception`; a later one replaces it.
    virtual void SetTaskException(const XWrappedQNException& exception) { m_exception.Set(exception); }
    // The task body; its result becomes the thread's exit code.
    virtual DWORD Execute(Owner* owner) = 0;
    virtual XThreadedTask& CopyPrototype(const XThreadedTask&)
    {
        XThreadSync::CreateEvent(m_startEvent, false);
        return *this;
    }

    // Starts the worker unless this task was started before.
    void Start(Owner* owner)
    {
        auto status = m_status.GetWriteProxy();
        if (*status != NotStarted)
            return;
        m_owner = owner;
        CloseEvent(m_completionEvent);
        XThreadSync::CreateEvent(m_completionEvent, false);
        Traits::StartThread(&XThreadedTask::ThreadProc, this, m_schedulerArgument);
        // Written under the same write reference that SetTaskStopped needs, so Stopped always
        // follows Running.
        status = Running;
    }

    // Sets the stop flag and waits until the worker has ended; returns at once for a task never
    // started. Does not wake a worker sleeping on an event of its own: owners do that first.
    void Stop()
    {
        {
            auto status = m_status.GetReadProxy();
            if (*status == NotStarted)
                return;
            if (*status == Stopped) {
                WaitForTermination();
                return;
            }
        }
        if (m_completionEvent == nullptr)
            cominc::ThrowTaskFailure(cominc::TaskFailure::NoCompletionEvent);
        SetStopRequested(true);
        if (!XThreadSync::WaitForEvent(m_completionEvent, INFINITE))
            cominc::ThrowTaskFailure(cominc::TaskFailure::StopTimeout);
        WaitForTermination();
    }

    // Waits until the worker thread has finished; returns at once when it never began.
    void WaitForTermination()
    {
        HANDLE termination = m_terminationEvent.load(std::memory_order_acquire);
        if (termination != nullptr && !XThreadSync::WaitForEvent(termination, INFINITE))
            cominc::ThrowTaskFailure(cominc::TaskFailure::TerminationTimeout);
    }

    bool IsStopRequested() const noexcept { return m_stopRequested.load(std::memory_order_acquire) == 1; }
    void SetStopRequested(bool stop) noexcept { m_stopRequested.exchange(stop ? 1 : 0); }

    ProceedStatus GetStatus() const { return *m_status.GetConstReadProxy(); }
    // The exception the worker kept last; empty when none.
    XWrappedQNException GetTaskException() const { return *m_exception.GetConstReadProxy(); }

protected:
    DWORD _Execute(Owner* owner)
    {
        DWORD result = 0;
        try {
            HANDLE termination = nullptr;
            XThreadSync::CreateEvent(termination, false);
            m_terminationEvent.store(termination, std::memory_order_release);
            if (m_startEvent == nullptr)
                cominc::ThrowTaskFailure(cominc::TaskFailure::NoStartEvent);
            if (!::SetEvent(m_startEvent))
                SetTaskException(cominc::TaskException(cominc::TaskFailure::SetStartEvent));
            result = Execute(owner);
        } catch (const XWrappedQNException& exception) {
            SetTaskException(exception);
        } catch (const std::exception& exception) {
            SetTaskException(cominc::KeepStandardException(exception));
        } catch (...) {
            SetTaskException(cominc::KeepUnknownException(false));
        }
        try {
            SetTaskStopped();
        } catch (const XWrappedQNException& exception) {
            SetTaskException(exception);
        } catch (...) {
            SetTaskException(cominc::KeepUnknownException(true));
        }
        HANDLE termination = m_terminationEvent.load(std::memory_order_acquire);
        if (termination == nullptr || !::SetEvent(termination))
            SetTaskException(cominc::TaskException(cominc::TaskFailure::SetTerminationEvent));
        return result;
    }

    static DWORD ThreadProc(void* task)
    {
        auto* self = static_cast<XThreadedTask*>(task);
        return self->_Execute(self->m_owner);
    }

    void SetTaskStopped()
    {
        auto status = m_status.GetWriteProxy();
        if (*status != Running)
            return;
        if (m_completionEvent == nullptr)
            XThreadSync::CreateEvent(m_completionEvent, false);
        status = Stopped;
        if (!::SetEvent(m_completionEvent))
            cominc::ThrowTaskFailure(cominc::TaskFailure::SetCompletionEvent);
    }

private:
    static void CloseEvent(HANDLE& event)
    {
        if (event != nullptr)
            ::CloseHandle(event);
        event = nullptr;
    }
    static void CloseEvent(std::atomic<HANDLE>& event)
    {
        if (HANDLE old = event.exchange(nullptr))
            ::CloseHandle(old);
    }

    Owner* m_owner = nullptr;
    std::atomic<LONG> m_stopRequested{0};
    HANDLE m_startEvent = nullptr;
    HANDLE m_completionEvent = nullptr;
    std::atomic<HANDLE> m_terminationEvent{nullptr};
    int m_schedulerArgument;
    XCritData<ProceedStatus> m_status{NotStarted};
    XCritData<XWrappedQNException> m_exception;
};
