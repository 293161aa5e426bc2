// XLoadMonitor measures the process and its machine. An object runs the monitor loop that sends a
// sample to the resource observer once per interval (Start, Stop); the static functions read one
// sample of the figures and name the process and the machine, keep no state of their own and are
// safe to call from any thread.
#pragma once

#include "interfaces/QNResourceAgentRecords.h"
#include "interfaces/QNConvert64.h"
#include "platform/Export.h"

class XLoadMonitorAlloc;

class QN_EXPORT XLoadMonitor {
public:
    XLoadMonitor();
    // Stops a running loop; that waits up to one interval and one more cycle (Stop first to end
    // it at once).
    ~XLoadMonitor();
    XLoadMonitor(const XLoadMonitor&) = delete;
    XLoadMonitor& operator=(const XLoadMonitor&) = delete;

    // Starts the monitor loop with the interval of XLoadMonitorSettings: the first sample follows
    // after the larger of 10 s and the interval, plus one interval. Starts nothing when the interval
    // is 0 or less, when a loop runs, or once the monitor was stopped. A loop that ends by itself
    // (its observer away through every attempt, a failed call) is started again after one interval,
    // the wait doubling up to 5 minutes while each new run ends before its first cycle.
    void Start();
    // Ends the loop; returns once it has ended (at once from its waits, after the cycle or the
    // first sleep that is under way).
    void Stop();
    bool IsRunnning() const;

    // Fills processLoad and machineLoad of `info` (after ZeroData of the whole record). `previous`
    // holds the absolute machine times of the last successful call; the sample carries the
    // differences to them (zero when `previous` is cleared) and `previous` is replaced. On failure
    // the failing read is logged, false is returned and `previous` is left unchanged.
    static bool MeasureProcessLoadData(tagQNResourceInformation& info, tagQNMachineResourceLoad& previous);
    // Fills the processor information; true on success.
    static bool GetSystemInformation(tagQNSystemInformation& info);
    // The executable's file name without folder and last extension; empty (and logged) when the
    // executable's path can't be read.
    static XQNComBSTR GetCurrentProcessName();
    // The host name up to its first dot; raises when it can't be read or does not fit 15 characters.
    static XQNComBSTR GetMachineName();

    // Clear a record in place. Strings are set to null without being freed.
    static void ZeroData(tagQNPreciseTime& time);
    // Leaves availVirtualKB.
    static void ZeroData(tagQNProcessResourceLoad& load);
    static void ZeroData(tagQNMachineResourceLoad& load);
    static void ZeroData(tagQNSystemInformation& info);
    // Leaves reserved, monitorIntervalSec, externalUsage and processLoad.availVirtualKB.
    static void ZeroData(tagQNResourceInformation& info);
    static void ZeroData(tagQNProcessResourceEmergencyEvent& event);
    static void ZeroData(tagQNProcessResourceAlert& alert);

private:
    XLoadMonitorAlloc* m_alloc;
};
