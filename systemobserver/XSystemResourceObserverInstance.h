// XSystemResourceObserverInstance: the store at the end of the chain. It keeps the newest four
// machine samples that the resource observers send, answers averaged queries per machine, logs
// the machine emergencies, alerts and global emergencies it receives, and its worker drops every
// machine after a long silence. A process-wide singleton, safe for concurrent use.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <vector>

#include "Cominc64/XBasicCritData.h"
#include "interfaces/QNResourceAgentRecords.h"
#include "observer/XResourceAgentRecords.h"
#include "platform/Export.h"
#include "platform/Heartbeat.h"

class XSystemResourceObserverInstanceTask;

class QN_EXPORT XSystemResourceObserverInstance {
public:
    static XSystemResourceObserverInstance& Instance();
    // Stops the worker and deletes the singleton; nothing happens when there is none.
    static void Destroy();

    // A copy of the history and counters, with a worker of its own that is not started.
    XSystemResourceObserverInstance(const XSystemResourceObserverInstance& other);
    XSystemResourceObserverInstance& operator=(const XSystemResourceObserverInstance&) = delete;

    void Start();
    // Wakes the worker and waits until it has ended.
    void Stop();

    // Takes one machine sample; an invalid one is logged and ignored. False when the sample is of
    // a machine not kept yet and `limit` machines are kept (see SetMachineLimit).
    bool SetSystemResourceData(const tagQNSystemResourceInformation& info);
    // A sample of a new machine beyond `limit` is refused, counted and logged (once a minute):
    // peers that invent names can't grow the store without end, and nothing kept is dropped.
    void SetMachineLimit(size_t limit) { m_machineLimit.exchange(limit); }
    static constexpr size_t kDefaultMachineLimit = 20000;
    unsigned long long RefusedNewMachines() const { return m_refusedNewMachines.load(); }
    // The average of the machine's samples with the server figures and usage sum of the newest,
    // into a zeroed `result`: true while samples keep arriving (the figures are filled also when
    // false). A machine never seen leaves `result` untouched.
    bool GetMachineResourceData(const XQNComBSTR& machineName, XResourceAgent::XMachineResourceInfo& result) const;
    // How long a machine may go without a sample, unscaled, before it counts as silent: the
    // stale number of cycles.
    DWORD MachineSilenceMs() const { return static_cast<DWORD>(m_machineStaleCycles * m_observerIntervalSec) * 1000; }
    // The cycle of the resource observers that report here, unscaled.
    DWORD ObserverIntervalMs() const { return static_cast<DWORD>(m_observerIntervalSec) * 1000; }
    // The names of the machines in the store, as their newest sample spells them.
    std::vector<XQNComBSTR> GetMachineNames() const;
    // One machine's figures as GetMachineResourceData gives them, named as its newest sample
    // spells it, beside its key in the store (the upper-cased name).
    struct XMachineFigures {
        XQNComBSTR key;
        XResourceAgent::XMachineResourceInfo figures;
    };
    // Every machine's figures in the order of their keys, in one pass under one lock: a status of
    // a whole fleet costs no lookup per machine. With `key`, that machine's alone. True while
    // samples keep arriving.
    bool GetEveryMachineResourceData(std::vector<XMachineFigures>& machines, const XQNComBSTR* key = nullptr) const;

    // The worker's: it beats at every cycle and rests once the worker ended.
    const platform::Heartbeat& WorkerHeartbeat() const { return m_workerHeartbeat; }

    // Each writes one trace line when its state is not 0.
    void RaiseSystemResourceEmergencyEvent(const tagQNSystemResourceEmergencyEvent& event);
    void NotifySystemResourceAlert(const tagQNSystemResourceAlert& alert);
    void RaiseGlobalEmergencyEvent(const tagQNSystemServerEmergencyEvent& event);

private:
    friend class XSystemResourceObserverInstanceTask;
    friend struct XSystemResourceObserverInstanceProbe;  // the tests' view of one cycle

    XSystemResourceObserverInstance();
    ~XSystemResourceObserverInstance();

    // One cycle of the worker: counts a cycle without samples, then drops all machines after
    // 3 × the stale number of them.
    void CountCycle();
    void CleanupResourceObserver();
    void RefuseNewMachine(BSTR machineName);

    std::atomic<LONG> m_sampleCount{0};
    std::atomic<LONG> m_cyclesWithoutSamples{0};
    LONG m_machineStaleCycles = 10;
    LONG m_observerIntervalSec = 5;
    platform::Heartbeat m_workerHeartbeat;
    XCritData<XResourceAgent::XMachineHistory> m_machineHistory;
    ULONG m_historyLength = 4;
    std::unique_ptr<XSystemResourceObserverInstanceTask> m_task;
    std::atomic<size_t> m_machineLimit{kDefaultMachineLimit};
    std::atomic<unsigned long long> m_refusedNewMachines{0};
};

// What the host's system observer object derives from: every call goes to the singleton and
// every exception through to the object.
class QN_EXPORT XQNSystemResourceObserverBase {
public:
    bool SetSystemResourceData(const tagQNSystemResourceInformation& info);
    void RaiseSystemResourceEmergencyEvent(const tagQNSystemResourceEmergencyEvent& event);
    void NotifySystemResourceAlert(const tagQNSystemResourceAlert& alert);
    void RaiseGlobalEmergencyEvent(const tagQNSystemServerEmergencyEvent& event);
};
