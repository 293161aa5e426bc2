// XResourceObserverInstance: the resource observer of one installation. It keeps the last four
// samples of every server process and of every machine, answers averaged queries, checks the
// machine alert limits once per cycle and tells the host's alert handlers of every change, and
// passes each machine's averaged figures, new alerts and all events on to the system resource
// observer. A process-wide singleton: the host's COM threads call it at any time, one worker runs
// the observer cycle. Names match without regard to case.
#pragma once

#include <atomic>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Cominc64/XBasicCritData.h"
#include "emergency/QNServerEmergency.h"
#include "interfaces/QNResourceObserverInterfaces.h"
#include "observer/XMachineResourceAlertHandler.h"
#include "observer/XResourceAgentRecords.h"
#include "platform/Export.h"
#include "platform/Heartbeat.h"

class XResourceObserverInstanceTask;
namespace XResourceAgent {
class XProcessEnds;
struct XProcessEnd;
struct XCgroupSignals;
}  // namespace XResourceAgent

class QN_EXPORT XResourceObserverInstance {
public:
    // Everything kept of one process id of one process name.
    struct XPipeProcessResourceInfo {
        XResourceAgent::XHistory<XResourceAgent::XProcessResourceInfo> history;  // oldest first, never empty
        ULONG reportedIntervalSec = 0;
        LONG creditSec = 0;  // reporting credit, 0 … 1000
        LONG missedCycles = 0;
        LONG missedCycleLimit = 5;  // current while missedCycles is below it
        std::optional<tagQNProcessCeilings> ceilings;  // the newest an agent sent with its sample
    };

    // Created on first use; raises when the machine's name can't be read.
    static XResourceObserverInstance& Instance();
    // Stops the worker and deletes the singleton; nothing happens when there is none.
    static void Destroy();

    // A copy of the histories, figures, limits and handlers, without a worker.
    XResourceObserverInstance(XResourceObserverInstance& other);
    XResourceObserverInstance& operator=(const XResourceObserverInstance&) = delete;

    // ---- History and queries ----
    // Takes one sample into the history of its process and of its machine; an invalid one is
    // logged and ignored. False when it is refused by the store's bounds (see SetStoreLimits).
    bool SetResourceData(const tagQNResourceInformation& sample);
    // The same, and `ceilings` (measured with the sample) are kept as the process's newest.
    bool SetResourceData(const tagQNResourceInformation& sample, const tagQNProcessCeilings& ceilings);
    // A sample of a process id not kept yet when `processes` are kept, or of a machine not kept
    // yet when `machines` are, is refused, counted and logged (once a minute): peers that invent
    // names can't grow the store without end, and nothing kept before is dropped for them.
    void SetStoreLimits(size_t processes, size_t machines);
    static constexpr size_t kDefaultProcessLimit = 50000;
    static constexpr size_t kDefaultMachineLimit = 10000;
    unsigned long long RefusedNewProcesses() const { return m_refusedNewProcesses.load(); }
    unsigned long long RefusedNewMachines() const { return m_refusedNewMachines.load(); }
    // Averages over all process ids of the name into `result` (pass it zeroed): true when there
    // was something and every id is current. A name never seen leaves `result` as it was.
    bool GetProcessResourceData(const XQNComBSTR& processName, XResourceAgent::XProcessResourceInfo& result) const;
    // The average of one process; true while it is current.
    bool GetProcessResourceData(const XQNComBSTR& processName, DWORD processId, XResourceAgent::XProcessResourceInfo& result) const;
    // The newest sample of one process; nullopt when it is not kept.
    std::optional<XResourceAgent::XProcessResourceInfo> GetNewestProcessResourceData(const XQNComBSTR& processName, DWORD processId) const;
    // The newest ceilings one process sent; nullopt when it sent none or is not kept.
    std::optional<tagQNProcessCeilings> GetProcessCeilings(const XQNComBSTR& processName, DWORD processId) const;
    // The average of one machine; true while samples keep arriving.
    bool GetMachineResourceData(const XQNComBSTR& machineName, XResourceAgent::XMachineResourceInfo& result) const;
    // Adds up `history` into `result` and divides by its length, truncating; the processor times
    // are added half by half without carry. Usage and server figures of `result` are kept.
    static void GetAverageResourceData(const XResourceAgent::XHistory<XResourceAgent::XMachineResourceInfo>& history, XResourceAgent::XMachineResourceInfo& result);

    // What the histories hold, names as their newest sample spells them: for a host's status.
    std::vector<XQNComBSTR> GetMachineNames() const;
    std::vector<std::pair<XQNComBSTR, DWORD>> GetProcesses() const;

    void SetMachineOPXServerInfo(const XResourceAgent::XMachineOPXServerInfo& info);
    void GetMachineOPXServerInfo(XResourceAgent::XMachineOPXServerInfo& info) const;
    // False once no sample at all arrived for the stale number of cycles.
    bool IsMachineMeasurementUpToDate() const;
    // The observer cycle in seconds, at least 5; the worker takes it at its next wait.
    void SetResourceObserverInterval(UINT seconds);

    static void ZeroData(tagQNMachineOPXServerLoad& load);
    static void ZeroData(tagQNSystemResourceInformation& info);

    // ---- Events: logged and passed on to the system observer at once; a failure is raised ----
    void RaiseProcessResourceEmergencyEvent(const tagQNProcessResourceEmergencyEvent& event);
    void RaiseGlobalEmergencyEvent(const tagQNProcessServerEmergencyEvent& event);
    void NotifyProcessResourceAlert(const tagQNProcessResourceAlert& alert);
    void NotifyMachineResourceAlert(const tagQNSystemResourceAlert& alert);

    // ---- Events the system observer did not take ----
    // An event of a server process that could not be passed on. Kept, it is passed on after the
    // figures of a later cycle, in the order it came; at most kKeptEventLimit are kept, the
    // newest beyond that are dropped and counted.
    struct KeptEvent {
        enum class Kind { ResourceEmergency, ServerEmergency, ResourceAlert };
        Kind kind;
        XQNComBSTR machineName;
        LONG state;
    };
    static constexpr size_t kKeptEventLimit = 10000;
    // For a host, with the result of passing `event` on: an RPC failure, or no link to the system
    // observer yet, keeps the event and gives S_FALSE ("taken, passed on later"), so that the
    // agent neither reconnects nor gives up; any other result is returned as it is.
    HRESULT KeepWhenNotPassedOn(HRESULT result, KeptEvent event);
    size_t KeptEventCount() const;
    unsigned long long DroppedEventCount() const { return m_droppedEvents.load(); }

    // ---- Ends of the processes that report ----
    // Each process that sends samples is watched from its first sample on; its end is logged with
    // its cause and last figures, and counted. Ends by process name (as sent) and cause
    // ("oom_kill", "oom_kill_among": one of several that ended together, "ended") since the
    // observer started.
    std::map<std::pair<std::string, std::string>, unsigned long long> GetProcessEndCounts() const;
    // The OOM kills among the reporting processes since the observer started, and the last
    // victim; the caller frees the victim's name.
    tagQNMachineOomKills GetOomKills() const;
    // The kernel's signals of the cgroup (v2) of each process that reports, read with its newest
    // sample: its throttling under memory.high and its pressure, by process name (as sent) and
    // id. A cgroup's throttling is logged when it starts (once a minute at most).
    std::map<std::pair<std::string, DWORD>, XResourceAgent::XCgroupSignals> GetProcessCgroupSignals() const;

    // ---- Machine alerts ----
    // Limits of processes, handles, free physical KB, free commit MB and processor load in percent;
    // 0 switches a check off.
    void SetResourceAlertMetric(ULONG processCountLimit, ULONG handleCountLimit, ULONG availPhysicalKBLimit, ULONG availPageFileMBLimit,
                                double cpuLoadPercentLimit);
    // While disabled, standing alerts stay standing.
    void DisableAllResourceAlerts(bool disable);
    // The pressure alert: raised while tasks of this machine stalled on cpu, memory or io for at
    // least `percent` of the last 10 s ("some" lines of the pressure stall information); 0: off.
    void SetPressureAlertLimit(double percent);
    // Null is ignored; a handler registered twice is called twice.
    void RegisterResourceAlertHandler(XMachineResourceAlertHandler* const handler);
    // Removes every registration of `handler`.
    void DeregisterResourceAlertHandler(XMachineResourceAlertHandler* const handler);

    // ---- The link to the system observer ----
    // Names the system observer's machine and starts the worker, or a fresh one after the last
    // ended; while one runs, only the name changes. Raises for an empty name.
    void SetSystemResourceObserver(const XQNComBSTR& machineName);
    XQNComBSTR GetMachineNameSystemObserver();
    // True from SetSystemResourceObserver until its worker ended (a failed call to the system
    // observer ends it): a host that wants the link back names the system observer again.
    bool IsSystemResourceObserverLinked() const;
    // How many links to a system observer were made so far: a host that sees it grow knows the
    // system observer it named answered.
    unsigned long long SystemResourceObserverLinksMade() const { return m_linksMade.load(); }
    // The worker's: it beats at every cycle and rests once the worker ended.
    const platform::Heartbeat& WorkerHeartbeat() const { return m_workerHeartbeat; }
    // Stops and deletes the worker.
    void Stop();

private:
    friend class XResourceObserverInstanceTask;
    friend struct XResourceObserverInstanceProbe;  // the tests' view of one cycle

    XResourceObserverInstance();
    ~XResourceObserverInstance();

    static void GetAverageResourceData(const XResourceAgent::XHistory<XResourceAgent::XProcessResourceInfo>& history, XResourceAgent::XProcessResourceInfo& result);
    static void GetSum(const tagQNPreciseTime& add, tagQNPreciseTime& sum);
    static void GetAverage(tagQNPreciseTime& time, ULONGLONG count);
    static void BuildSystemResourceInfo(const XResourceAgent::XMachineResourceInfo& source, tagQNSystemResourceInformation& target);

    // Once per cycle, on the worker: credits, missed cycles and staleness; then after the
    // synchronisation the cleanup of silent processes and machines.
    void UpdateCycleCounters();
    void CleanupResourceObserver();
    bool TakeSample(const tagQNResourceInformation& sample, const tagQNProcessCeilings* ceilings);
    bool RefuseNewName(std::atomic<unsigned long long>& refused, const char* what, size_t limit, const tagQNResourceInformation& sample);

    void CheckMachineResources(const tagQNSystemResourceInformation& info, tagQNSystemResourceEmergencyEvent& emergency, tagQNSystemResourceAlert& alert);
    void CheckResourceEmergency(const tagQNSystemResourceInformation& info, tagQNSystemResourceEmergencyEvent& emergency);
    void CheckResourceAlerts(const tagQNSystemResourceInformation& info, tagQNSystemResourceAlert& alert);
    void CheckPressureAlert(const tagQNMachinePressure& pressure, const tagQNSystemResourceInformation& info, tagQNSystemResourceAlert& alert);
    // Raises `bit` once when `holds` starts and clears it once when it ends; true on a change.
    bool LatchAlert(std::atomic<LONG>& latch, LONG bit, bool holds, const tagQNSystemResourceInformation& info, tagQNSystemResourceAlert& alert);
    static void SetMachineIdent(const tagQNSystemResourceInformation& info, tagQNSystemResourceAlert& alert);
    static void ZeroData(tagQNSystemResourceEmergencyEvent& event);
    static void ZeroData(tagQNSystemResourceAlert& alert);
    void NotifyMachineResourceAlertState(LONG state);

    // Watches the sender of `sample` for its end and reads the signals of its cgroup.
    void NoteReporter(const tagQNResourceInformation& sample);
    // The worker's wait of `milliseconds` (scaled), in which the ends of reporting processes are
    // recorded as they come; true when WakeFromProcessEnds cut it short, which only a `wakeable`
    // wait allows.
    bool WaitRecordingProcessEnds(DWORD milliseconds, bool wakeable);
    void WakeFromProcessEnds();
    void RecordProcessEnd(const XResourceAgent::XProcessEnd& end) const;

    CComPtr<IQNSystemResourceObserver> GetSystemResourceObserver(bool forceNew);
    void SyncSystemResourceObserver(const CComPtr<IQNSystemResourceObserver>& link);
    void KeepForSystemObserver(KeptEvent event);
    // Passes the kept events on, oldest first; one refused for a reason other than the link is
    // dropped and logged, an RPC failure leaves it and the rest kept and is raised.
    void PassOnKeptEvents(const CComPtr<IQNSystemResourceObserver>& link);

    XCritData<std::map<XQNComBSTR, std::map<DWORD, XPipeProcessResourceInfo>>> m_processHistory;
    XCritData<XResourceAgent::XMachineHistory> m_machineHistory;
    std::atomic<LONG> m_sampleCount{0};
    std::atomic<LONG> m_minReportedIntervalSec{0};
    std::atomic<LONG> m_cyclesWithoutSamples{0};
    std::atomic<LONG> m_machineStaleCycles{10};  // set by the worker, read by the queries
    std::atomic<ULONG> m_observerIntervalSec{5};
    std::atomic<LONG> m_alertsDisabled{0};
    ULONG m_historyLength = 4;
    std::atomic<LONG> m_processCountLimit{0};
    std::atomic<LONG> m_handleCountLimit{0};
    std::atomic<LONG> m_availPhysicalKBLimit{0};
    std::atomic<LONG> m_availPageFileMBLimit{0};
    std::atomic<LONG> m_cpuLoadLimit{0};  // percent × 10000
    std::atomic<LONG> m_alertLatch[5]{};
    std::atomic<LONG> m_machineAlertState{0};
    // The pressure alert's limit (percent × 10000) and latch, beside the five checks' own.
    std::atomic<LONG> m_pressureLimit{0};
    std::atomic<LONG> m_pressureLatch{0};
    XCritDataPtr<XResourceObserverInstanceTask> m_taskHolder;
    XCritData<XResourceAgent::XMachineOPXServerInfo> m_opxServerInfo;
    XCritData<CComPtr<IQNSystemResourceObserver>> m_systemObserver;
    XCritData<XQNComBSTR> m_systemObserverMachine;
    std::atomic<unsigned long long> m_linksMade{0};
    platform::Heartbeat m_workerHeartbeat;
    XCritData<std::list<XMachineResourceAlertHandler*>> m_alertHandlers;
    XQNComBSTR m_localMachineName;  // upper case
    XCritData<std::deque<KeptEvent>> m_keptEvents;
    std::atomic<ULONGLONG> m_droppedEvents{0};
    std::atomic<size_t> m_processLimit{kDefaultProcessLimit};
    std::atomic<size_t> m_machineLimit{kDefaultMachineLimit};
    std::atomic<unsigned long long> m_refusedNewProcesses{0};
    std::atomic<unsigned long long> m_refusedNewMachines{0};
    std::unique_ptr<XResourceAgent::XProcessEnds> m_processEnds;
};
