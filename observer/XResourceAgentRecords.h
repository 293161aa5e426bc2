// The observers' history records: one process sample, one machine sample (also the shape of
// averaged machine figures) and the server program's own figures for its machine. Built from the
// samples the agents send; the strings are owned copies.
#pragma once

#include <map>
#include <optional>
#include <vector>

#include "interfaces/QNResourceAgentRecords.h"
#include "interfaces/QNConvert64.h"
#include "platform/Export.h"

namespace XResourceAgent {

// Handed in by the host and passed on uninterpreted.
struct XMachineOPXServerInfo {
    bool hostFlag = false;
    ULONG hostValue1 = 0;
    ULONG hostValue2 = 0;
    ULONG hostValue3 = 0;
    ULONG hostValue4 = 0;
    ULONG hostValue5 = 0;
};

struct QN_EXPORT XProcessResourceInfo {
    XProcessResourceInfo() = default;
    // The process figures and usage of `sample`; its machine name is not kept.
    explicit XProcessResourceInfo(const tagQNResourceInformation& sample);

    XQNComBSTR processName;  // as sent, not upper-cased
    XQNComBSTR auxText;
    DWORD processId = 0;
    tagQNPreciseTime kernelTime{};
    tagQNPreciseTime userTime{};
    LONGLONG workingSetKB = 0;
    LONGLONG peakWorkingSetKB = 0;
    LONGLONG pagefileUsageKB = 0;
    LONGLONG peakPagefileUsageKB = 0;
    LONGLONG usedVirtualKB = 0;
    LONGLONG availVirtualKB = 0;
    ULONG threadCount = 0;
    ULONG pageFaultCount = 0;
    ULONG handleCount = 0;
    ULONG gdiObjectCount = 0;
    ULONG userObjectCount = 0;
    ULONG externalResourceUsage = 0;
    ULONG databaseCounterB = 0;
    ULONG databaseCounterA = 0;
};

struct QN_EXPORT XMachineResourceInfo {
    XMachineResourceInfo() = default;
    // The machine figures of `sample`; usage and server figures stay zero.
    explicit XMachineResourceInfo(const tagQNResourceInformation& sample);

    XQNComBSTR machineName;  // as sent
    tagQNPreciseTime idleTime{};
    tagQNPreciseTime kernelTime{};
    tagQNPreciseTime userTime{};
    LONGLONG usedPageFileKB = 0;
    LONGLONG availPageFileKB = 0;
    LONGLONG usedPhysicalKB = 0;
    LONGLONG availPhysicalKB = 0;
    ULONG processCount = 0;
    ULONG threadCount = 0;
    ULONG handleCount = 0;
    ULONG externalUsageSum = 0;
    double avgDatabaseAccessRatio = 0.0;
    XMachineOPXServerInfo opxServerInfo;
};

// A time in 100-ns ticks.
inline LONGLONG Ticks(const tagQNPreciseTime& time)
{
    return static_cast<LONGLONG>((static_cast<ULONGLONG>(time.highPart) << 32) | time.lowPart);
}

// The key of a process or machine name in the histories: names match without regard to case.
inline XQNComBSTR HistoryKey(XQNComBSTR name)
{
    name.ToUpper();
    return name;
}
inline XQNComBSTR HistoryKey(BSTR name)
{
    return HistoryKey(XQNComBSTR(name, SysStringLen(name)));
}

// The few samples an observer keeps of one process or machine, oldest first, in one block: a
// central observer keeps thousands of them.
template <typename Sample>
using XHistory = std::vector<Sample>;

// Samples of every machine by upper-cased name: the machine history of both observers.
using XMachineHistory = std::map<XQNComBSTR, XHistory<XMachineResourceInfo>>;

// Appends `sample` to `history` and takes out the oldest beyond `length`, so that the caller frees
// it after leaving the lock that guards the history. The oldest leaves first, so that a full
// history never grows its block.
template <typename Sample>
std::optional<Sample> AppendToHistory(XHistory<Sample>& history, Sample&& sample, std::size_t length)
{
    if (length == 0)
        return std::optional<Sample>(std::move(sample));
    std::optional<Sample> oldest;
    if (history.size() >= length) {
        oldest.emplace(std::move(history.front()));
        history.erase(history.begin());
    }
    history.push_back(std::move(sample));
    return oldest;
}

// The machines of `history` that have samples, named as their newest sample spells them.
QN_EXPORT std::vector<XQNComBSTR> GetMachineNames(const XMachineHistory& history);

// The processor load of one interval from a machine's times, 0 to 1: busy share of kernel + user
// (kernel includes idle). False, with `load` untouched, when all three are 0: no interval was
// measured yet.
QN_EXPORT bool GetCpuLoad(const tagQNPreciseTime& idle, const tagQNPreciseTime& kernel, const tagQNPreciseTime& user, double& load);

}  // namespace XResourceAgent
