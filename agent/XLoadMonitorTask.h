// The owner of a load monitor's worker and the worker itself: the monitor loop that measures the
// process once per interval, checks it for emergencies and sends emergency, alert and sample to the
// resource observer, reconnecting after RPC failures. Beside it, from Start to Stop, the watch
// between samples runs on a thread of its own; the loop sends the emergencies the watch kept. A
// loop that ends by itself starts again.
#pragma once

#include <atomic>

#include "agent/XLoadMonitorWatch.h"
#include "Cominc64/XBasicCritData.h"
#include "Cominc64/XWakeableTask.h"
#include "interfaces/QNConvert64.h"
#include "interfaces/QNResourceObserverInterfaces.h"

class XLoadMonitorTask;

// No task, then a running task, then a stopped one: a stopped monitor never starts again.
class XLoadMonitorAlloc {
public:
    XLoadMonitorAlloc() = default;
    // Ends the watch, stops a running loop without waking it (it ends after its current wait and
    // one more cycle) and deletes the task.
    ~XLoadMonitorAlloc();
    XLoadMonitorAlloc(const XLoadMonitorAlloc&) = delete;
    XLoadMonitorAlloc& operator=(const XLoadMonitorAlloc&) = delete;

    // Starts the loop with the interval of the settings, unless it is 0 or less or a task exists.
    void Start();
    // Ends the watch, wakes the loop and waits until it has ended.
    void Stop();
    bool IsRunning() const;

private:
    XCritDataPtr<XLoadMonitorTask> m_task;
};

class XLoadMonitorTask : public XWakeableTask<XLoadMonitorAlloc> {
public:
    void SetMonitorInterval(LONG milliseconds) { m_intervalMs.exchange(milliseconds); }
    // Starts the watch, then the loop.
    void StartWatchAndLoop(XLoadMonitorAlloc* owner);
    // Ends the watch at once; the loop is stopped as before.
    void StopWatch() { m_watch.Stop(); }

    DWORD Execute(XLoadMonitorAlloc* owner) override;

private:
    class Cycles;

    // One run of the loop: names, connection, cycles until Stop or a failure, which it logs.
    // `cycles` counts the cycles it completed.
    void RunLoop(XLoadMonitorAlloc* owner, unsigned& cycles);
    void RunCycles(CComPtr<IQNResourceObserver>& observer, const XQNComBSTR& processName, const XQNComBSTR& machineName, unsigned& cycles);
    // Waits `milliseconds` on the wake-up event. The watch wakes the loop too: then `woken` runs
    // and the wait goes on. True when the time has passed; false when stopped, or when the wait
    // failed (logged, then a plain sleep of `milliseconds`).
    template <typename Woken>
    bool WaitOut(DWORD milliseconds, Woken woken);

    std::atomic<LONG> m_intervalMs{0};
    XLoadMonitorWatch m_watch{m_intervalMs, [this] { Wake(); }};
};
