// XLoadMonitorSettings: the process's monitor interval, read by XLoadMonitor::Start. A
// process-wide singleton; the interval changes by atomic exchange.
#pragma once

#include <atomic>

#include "platform/Export.h"
#include "platform/WinTypes.h"

class QN_EXPORT XLoadMonitorSettings {
public:
    static XLoadMonitorSettings& Instance();
    static void Destroy();

    XLoadMonitorSettings& operator=(const XLoadMonitorSettings& other);

    // Stores seconds × 1000, computed in 32 bits and unchecked: 0 or less (a wrapped product
    // included) makes Start start nothing. A loop already running keeps its interval.
    void SetMonitorIntervalSec(LONG seconds);
    LONG GetMonitorIntervalMilliSec() const;

private:
    XLoadMonitorSettings() = default;

    std::atomic<LONG> m_intervalMs{5000};
};
