// Server emergency codes (single bits of an emergency state) and resource alert bits.
#pragma once

#include "platform/WinTypes.h"

enum QNServerEmergency : LONG {
    LowMemory = 0x0001,
    CriticalServerException = 0x0004,
    CriticalServerException2 = 0x0008,
    CriticalDatabaseException = 0x0010,
    CriticalDatabaseAbortException = 0x0020,
    UpdateManagerConnectionLost = 0x0040,
    LockManagerConnectionLost = 0x0080,
    LoggerFailure = 0x0100,
    LoggerConnectionLost = 0x0200,
    CriticalServerAbortException = 0x0400,
    TooManyThreads = 0x0800,
    TooManyHandles = 0x1000,
    InUpdateMngProcess = 0x2000,  // qualifier: the state concerns the UpdateMng process
    InLockMngProcess = 0x4000,    // qualifier: the state concerns the LockMng process
};

enum QNResourceAlert : LONG {
    TooManyOPXServersInPool = 0x01,
    TooManyMachineProcesses = 0x02,
    TooManyMachineHandles = 0x04,
    LowPhysicalMemory = 0x08,
    LowVirtualMemory = 0x10,
    HighCpuUtilization = 0x20,
};
