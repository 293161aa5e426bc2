// A threaded task whose worker waits between passes on an auto-reset wake-up event of its own:
// the event lives exactly as long as the task, and WakeAndStop cuts the worker's wait short
// before it waits for the worker's end.
#pragma once

#include "Cominc64/XThreadedTask.h"
#include "interfaces/QNServerBaseLib64.h"

template <typename Owner>
class XWakeableTask : public XThreadedTask<Owner, XThreadedTaskTraits::XThreadSchedulerTraits<XThreadScheduler>> {
public:
    XWakeableTask() : XThreadedTask<Owner, XThreadedTaskTraits::XThreadSchedulerTraits<XThreadScheduler>>(-1)
    {
        XThreadSync::CreateEventAutoReset(m_wakeEvent, false);
    }
    // Waits for the worker first: it may still be waiting on the event.
    ~XWakeableTask() override
    {
        this->Stop();
        if (m_wakeEvent != nullptr)
            ::CloseHandle(m_wakeEvent);
    }

    void WakeAndStop()
    {
        this->SetStopRequested(true);
        XThreadSync::SetEvent(m_wakeEvent);
        this->Stop();
    }

    // Cuts the worker's current wait short.
    void Wake() { XThreadSync::SetEvent(m_wakeEvent); }

protected:
    // True when woken, false when `timeoutMs` passed.
    bool WaitForWakeUp(DWORD timeoutMs) { return XThreadSync::WaitForEvent(m_wakeEvent, timeoutMs); }

private:
    HANDLE m_wakeEvent = nullptr;
};
