// The fourteen records that cross the observer interfaces. Flat structures with the field order and
// widths every side relies on. BSTR fields belong to whoever filled the record, which frees them
// after the call; a receiver copies what it keeps. Memory figures are KB, times 100-ns units.
#pragma once

#include <cstdint>

#include "platform/Bstr.h"

struct tagQNPreciseTime {
    std::uint32_t lowPart;
    std::uint32_t highPart;
};

struct tagQNProcessResourceLoad {
    tagQNPreciseTime kernelTime;  // cumulative since the process started
    tagQNPreciseTime userTime;
    std::int64_t workingSetKB;
    std::int64_t peakWorkingSetKB;
    std::int64_t pagefileUsageKB;
    std::int64_t peakPagefileUsageKB;
    std::int64_t usedVirtualKB;
    std::int64_t availVirtualKB;  // kept through ZeroData: the low-memory check reads it always
    std::uint32_t threadCount;
    std::uint32_t pageFaultCount;
    std::uint32_t handleCount;
    std::uint32_t gdiObjectCount;
    std::uint32_t userObjectCount;
};

// In a sent record the times are differences since the sender's previous sample; in the copy the
// monitor loop keeps between samples they are absolute and the other fields are zero.
struct tagQNMachineResourceLoad {
    tagQNPreciseTime idleTime;
    tagQNPreciseTime kernelTime;  // includes the idle time
    tagQNPreciseTime userTime;
    std::int64_t usedPageFileKB;
    std::int64_t availPageFileKB;
    std::int64_t usedPhysicalKB;
    std::int64_t availPhysicalKB;
    std::uint32_t processCount;
    std::uint32_t threadCount;
    std::uint32_t handleCount;
};

struct tagQNProcessExternalResourceUsage {
    std::uint32_t externalResourceUsage;
    std::uint32_t databaseCounterB;
    std::uint32_t databaseCounterA;
};

struct tagQNResourceInformation {
    BSTR machineName;
    BSTR processName;
    BSTR auxText;
    std::uint32_t processId;
    std::int32_t reserved;
    std::int32_t dataValid;
    std::int32_t monitorIntervalSec;
    tagQNProcessResourceLoad processLoad;
    tagQNProcessExternalResourceUsage externalUsage;
    tagQNMachineResourceLoad machineLoad;
};

struct tagQNProcessResourceEmergencyEvent {
    BSTR machineName;  // null: the identity is not filled yet
    BSTR processName;
    BSTR auxText;
    std::uint32_t processId;
    std::int32_t reserved;
    std::int32_t emergencyState;
};

struct tagQNProcessResourceAlert {
    BSTR machineName;
    BSTR processName;
    BSTR auxText;
    std::uint32_t processId;
    std::int32_t reserved;
    std::int32_t alertState;
};

struct tagQNProcessServerEmergencyEvent {
    BSTR machineName;
    BSTR processName;
    BSTR auxText;
    std::uint32_t processId;
    std::int32_t reserved;
    std::int32_t emergencyState;
};

struct tagQNSystemInformation {
    std::int32_t valid;
    std::int32_t isWow64;
    std::uint32_t numberOfProcessors;
    std::uint32_t activeProcessorMask;
    std::uint16_t processorArchitecture;
};

struct tagQNMachineOPXServerLoad {
    std::int32_t hostFlag;
    std::uint32_t hostValue1;
    std::uint32_t hostValue2;
    std::uint32_t hostValue3;
    std::uint32_t hostValue4;
    std::uint32_t hostValue5;
};

struct tagQNSystemResourceInformation {
    BSTR machineName;
    std::int32_t dataValid;
    tagQNMachineResourceLoad machineLoad;
    tagQNMachineOPXServerLoad opxServerLoad;
    std::uint32_t externalUsageSum;
    double avgDatabaseAccessRatio;
};

struct tagQNSystemResourceEmergencyEvent {
    BSTR machineName;
    std::int32_t emergencyState;
};

struct tagQNSystemResourceAlert {
    BSTR machineName;
    std::int32_t alertState;
};

struct tagQNSystemServerEmergencyEvent {
    BSTR machineName;
    std::int32_t emergencyState;
};

// Beside a sample, not one of the fourteen: a limit the kernel holds the process to and what is
// left under it. Memory in KB; descriptors and threads as ceilings on the process's own count.
enum tagQNCeilingSource : std::int32_t {
    QNCeilingSource_None = 0,           // no ceiling known
    QNCeilingSource_ResourceLimit = 1,  // an rlimit, or the user address space
    QNCeilingSource_Cgroup = 2,
    QNCeilingSource_Machine = 3,
    QNCeilingSource_CgroupHigh = 4,  // memory.high of a cgroup: allocations are throttled past it
};

struct tagQNResourceCeiling {
    std::int64_t limit;
    std::int64_t left;
    std::int32_t source;  // tagQNCeilingSource
};

struct tagQNProcessCeilings {
    tagQNResourceCeiling memoryKB;
    tagQNResourceCeiling descriptors;
    tagQNResourceCeiling threads;
};

// Pressure stall information of a machine, as Linux reports it for cpu, memory and io: the share
// of time in which some (or all, "full") runnable tasks waited for the resource.
struct tagQNPressureFigures {
    std::int32_t present;     // 0: the kernel doesn't report this one, the rest is 0
    double avg10Percent;      // over the last 10 s
    double avg60Percent;      // over the last 60 s
    std::uint64_t totalUs;    // stalled time since boot
};

struct tagQNMachinePressure {
    tagQNPressureFigures cpuSome, cpuFull, memorySome, memoryFull, ioSome, ioFull;
};

// The OOM kills among the server processes of a machine since its resource observer started, and
// the last victim. The name belongs to whoever filled the record.
struct tagQNMachineOomKills {
    std::uint32_t killCount;
    BSTR lastVictimName;           // null while there was none
    std::uint32_t lastVictimId;    // in the resource observer's pid namespace
    std::int64_t lastVictimTimeSec;  // when its end was noticed, seconds since 1970
};

// The widths are part of the contract between the three kinds of process.
static_assert(sizeof(tagQNPreciseTime) == 8);
static_assert(sizeof(tagQNProcessResourceLoad::workingSetKB) == 8 && sizeof(tagQNProcessResourceLoad::threadCount) == 4);
static_assert(sizeof(tagQNMachineResourceLoad::usedPageFileKB) == 8 && sizeof(tagQNMachineResourceLoad::handleCount) == 4);
static_assert(sizeof(tagQNProcessExternalResourceUsage) == 12);
static_assert(sizeof(tagQNResourceInformation::dataValid) == 4 && sizeof(tagQNResourceInformation::monitorIntervalSec) == 4);
static_assert(sizeof(tagQNSystemInformation::processorArchitecture) == 2);
static_assert(sizeof(tagQNMachineOPXServerLoad) == 24);
static_assert(sizeof(tagQNSystemResourceInformation::avgDatabaseAccessRatio) == 8);
static_assert(sizeof(tagQNSystemResourceAlert::alertState) == 4);
