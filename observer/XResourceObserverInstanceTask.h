// The resource observer's worker: once per observer cycle the bookkeeping of the histories, one
// synchronisation with the system observer and the cleanup. It ends on the first failure; the
// host starts a fresh one by naming the system observer again.
#pragma once

#include "Cominc64/XThreadedTask.h"
#include "interfaces/QNServerBaseLib64.h"

class XResourceObserverInstance;

class XResourceObserverInstanceTask
    : public XThreadedTask<XResourceObserverInstance, XThreadedTaskTraits::XThreadSchedulerTraits<XThreadScheduler>> {
public:
    XResourceObserverInstanceTask();
    ~XResourceObserverInstanceTask() override;

    HANDLE WakeEvent() const { return m_wakeEvent; }
    DWORD Execute(XResourceObserverInstance* owner) override;

private:
    HANDLE m_wakeEvent = nullptr;
};
