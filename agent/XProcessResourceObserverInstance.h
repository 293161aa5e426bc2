// XProcessResourceObserverInstance: decides from each sample of the server process whether it has
// run into a resource emergency (too little virtual memory, too many threads or handles), raising
// each kind once per life of the process, and collects the usage figures the server reports for
// the monitor loop. A process-wide singleton; it takes no lock: shared fields change by atomic
// exchange or compare-and-exchange. The monitor loop and the ceiling watch check, the server's
// threads set.
#pragma once

#include <atomic>

#include "interfaces/QNResourceAgentRecords.h"
#include "platform/Export.h"
#include "platform/WinTypes.h"

namespace platform {
struct CeilingKinds;
struct ProcessCeilings;
}

class QN_EXPORT XProcessResourceObserverInstance {
public:
    static XProcessResourceObserverInstance& Instance();
    static void Destroy();

    XProcessResourceObserverInstance& operator=(const XProcessResourceObserverInstance& other);

    // The available virtual memory in KB below which, and the thread and handle counts above
    // which, an emergency is raised; 0 or less switches a check off. Unchecked.
    void SetEmergencyResourceMetric(LONG lowMemoryKB, LONG threadLimit, LONG handleLimit);
    // Fills `emergency` with the emergencies first broken by `info` (raising each on the server's
    // emergency handlers) and leaves `alert` as it is: the process checks raise no alerts. The
    // caller zeroes both records; the event owns the strings this puts in.
    void CheckProcessResources(const tagQNResourceInformation& info, tagQNProcessResourceEmergencyEvent& emergency,
                               tagQNProcessResourceAlert& alert);
    // The same, and each emergency is also raised when the sample comes near the ceiling that the
    // kernel holds the process to (`ceilings`, measured with `info`), whether or not the configured
    // limit is on; the logbook then names that ceiling and its value. The monitor loop's and the watch's.
    QN_INTERNAL void CheckProcessResources(const tagQNResourceInformation& info, const platform::ProcessCeilings& ceilings,
                               tagQNProcessResourceEmergencyEvent& emergency, tagQNProcessResourceAlert& alert);

    // The kinds whose emergency has not been raised yet: the only ones the ceiling watch looks at.
    QN_INTERNAL platform::CeilingKinds Unraised() const;
    // True when `ceilings`, read between two samples, come near a kernel ceiling of a kind not
    // raised yet: the check of a sample measured now would raise its emergency.
    QN_INTERNAL bool ComesNear(const platform::ProcessCeilings& ceilings) const;

    void SetProcessExternalResourceUsage(ULONG value);
    // The database access counters of the server; a first counter smaller than the last one means
    // they restarted, and the old pair is carried into the next GetProcessExternalResourceUsage.
    void UpdateDatabaseAccessStatistic(ULONG counterA, ULONG counterB);
    // The usage and the counters with what was carried over from before a restart (taken out).
    void GetProcessExternalResourceUsage(tagQNProcessExternalResourceUsage& usage);

private:
    XProcessResourceObserverInstance() = default;

    QN_INTERNAL void CheckResourceEmergency(const tagQNResourceInformation& info, const platform::ProcessCeilings* ceilings,
                                tagQNProcessResourceEmergencyEvent& emergency);
    void CheckResourceAlerts(const tagQNResourceInformation& info, tagQNProcessResourceAlert& alert);
    static void SetProcessIdent(const tagQNResourceInformation& info, tagQNProcessResourceEmergencyEvent& emergency);

    std::atomic<LONG> m_lowMemoryLimitKB{10240};
    std::atomic<LONGLONG> m_lastReportedFreeMemoryKB{0};
    std::atomic<LONG> m_lowMemoryRaised{0};
    std::atomic<LONG> m_threadLimit{1900};
    std::atomic<LONG> m_threadsRaised{0};
    std::atomic<LONG> m_handleLimit{5000000};
    std::atomic<LONG> m_handlesRaised{0};
    std::atomic<ULONG> m_externalResourceUsage{0};
    std::atomic<ULONG> m_databaseCounterB{0};
    std::atomic<ULONG> m_databaseCounterA{0};
    std::atomic<ULONG> m_carriedCounterB{0};
    std::atomic<ULONG> m_carriedCounterA{0};
};
