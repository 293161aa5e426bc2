// The owner of a load monitor's worker and the worker itself: the monitor loop that measures the
// process once per interval, checks it for emergencies and sends emergency, alert and sample to the
// resource observer, reconnecting after RPC failures. Between two cycles it watches the kernel's
// ceilings and raises an emergency at once when one comes near. A loop that ends by itself starts
// again.
#pragma once

#include <atomic>

#include "Cominc64/XBasicCritData.h"
#include "Cominc64/XWakeableTask.h"
#include "interfaces/QNConvert64.h"
#include "interfaces/QNResourceObserverInterfaces.h"

class XLoadMonitorTask;

// No task, then a running task, then a stopped one: a stopped monitor never starts again.
class XLoadMonitorAlloc {
public:
    XLoadMonitorAlloc() = default;
    // Stops a running loop without waking it (it ends after its current wait and one more cycle)
    // and deletes the task.
    ~XLoadMonitorAlloc();
    XLoadMonitorAlloc(const XLoadMonitorAlloc&) = delete;
    XLoadMonitorAlloc& operator=(const XLoadMonitorAlloc&) = delete;

    // Starts the loop with the interval of the settings, unless it is 0 or less or a task exists.
    void Start();
    // Wakes the loop and waits until it has ended.
    void Stop();
    bool IsRunning() const;

private:
    XCritDataPtr<XLoadMonitorTask> m_task;
};

class XLoadMonitorTask : public XWakeableTask<XLoadMonitorAlloc> {
public:
    void SetMonitorInterval(LONG milliseconds) { m_intervalMs.exchange(milliseconds); }

    DWORD Execute(XLoadMonitorAlloc* owner) override;

private:
    class Cycles;

    // One run of the loop: names, connection, cycles until Stop or a failure, which it logs.
    // `cycles` counts the cycles it completed.
    void RunLoop(XLoadMonitorAlloc* owner, unsigned& cycles);
    void RunCycles(CComPtr<IQNResourceObserver>& observer, const XQNComBSTR& processName, const XQNComBSTR& machineName, unsigned& cycles);
    // Waits one interval, looking at the ceilings when the watch says; true when the cycle is due,
    // false when woken or the wait failed (logged).
    bool WaitWatching(LONG interval, Cycles& cycles);

    std::atomic<LONG> m_intervalMs{0};
};
