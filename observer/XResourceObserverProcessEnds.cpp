// The resource observer's record of the processes that report to it and end: its worker waits on
// their pidfds between cycles, and each end is logged with the last figures the process sent. The
// signals of their cgroups are read as their samples come in.
#include <algorithm>

#include "module/QNResourceAgentModule.h"
#include "observer/XProcessEnds.h"
#include "observer/XResourceObserverInstance.h"
#include "platform/Clock.h"
#include "platform/LogThrottle.h"
#include "platform/transport/ComServer.h"

using XResourceAgent::XProcessEnd;

namespace {

constexpr const char* kFile = "XResourceObserverInstance";

// The ceiling with the least left of what it allows, as "memory 262144 KB under cgroup, 1024 KB left".
std::string NearestCeiling(const tagQNProcessCeilings& ceilings)
{
    struct Kind {
        const tagQNResourceCeiling& ceiling;
        const char* name;
        const char* unit;
    };
    static constexpr const char* kSources[] = {"", "rlimit", "cgroup", "machine", "cgroup_high"};
    const Kind kinds[] = {{ceilings.memoryKB, "memory", " KB"}, {ceilings.descriptors, "descriptors", ""}, {ceilings.threads, "threads", ""}};
    const Kind* nearest = nullptr;
    for (const Kind& kind : kinds) {
        const tagQNResourceCeiling& c = kind.ceiling;
        if (c.source <= QNCeilingSource_None || c.source >= std::ssize(kSources) || c.limit <= 0)
            continue;
        // left / limit compared without division: a / b < c / d as a * d < c * b, in doubles.
        if (nearest == nullptr || double(c.left) * double(nearest->ceiling.limit) < double(nearest->ceiling.left) * double(c.limit))
            nearest = &kind;
    }
    if (nearest == nullptr)
        return "none known";
    const tagQNResourceCeiling& c = nearest->ceiling;
    return std::string(nearest->name) + " " + std::to_string(c.limit) + nearest->unit + " under " + kSources[c.source] + ", " + std::to_string(c.left) +
           nearest->unit + " left";
}

// One line when the throttling of a process's cgroup starts.
void LogThrottlingStart(const tagQNResourceInformation& sample, pid_t pid, const XResourceAgent::XThrottlingStart& start)
{
    // The processes of one cgroup are throttled together: one line a minute for the cgroup.
    static platform::LogThrottle throttle;
    unsigned long long held = 0;
    if (!throttle.Admit(start.cgroup, held))
        return;
    static const XQNComBSTR function(u"XResourceObserverInstance::SetResourceData");
    XQNError::WriteTraceToErrorLogBook(
        XQNResourceAgentModule::Location(kFile, __LINE__, function), QNSeverity_CallFailure,
        XQNComBSTR::GetFormatted(u"process of machine '%s', process name '%s', process id %u (pid %d here) is throttled under memory.high of cgroup %s - "
                                 u"its high events rose by %s since its previous sample%s",
                                 sample.machineName, sample.processName, sample.processId, pid, start.cgroup, std::to_string(start.events),
                                 platform::HeldBackNote(held)),
        u"");
}

}  // namespace

std::map<std::pair<std::string, std::string>, unsigned long long> XResourceObserverInstance::GetProcessEndCounts() const
{
    return m_processEnds->EndCounts();
}

tagQNMachineOomKills XResourceObserverInstance::GetOomKills() const
{
    return m_processEnds->OomKills();
}

std::map<std::pair<std::string, DWORD>, XResourceAgent::XCgroupSignals> XResourceObserverInstance::GetProcessCgroupSignals() const
{
    return m_processEnds->CgroupSignals();
}

void XResourceObserverInstance::NoteReporter(const tagQNResourceInformation& sample)
{
    // The peer's own pid where the sample came over the socket: the sample's may be of another pid
    // namespace. A host that calls in its own process has only the sample's.
    const pid_t pid = transport::CallingProcessId().value_or(static_cast<pid_t>(sample.processId));
    if (const auto start = m_processEnds->NoteSample(pid, sample))
        LogThrottlingStart(sample, pid, *start);
}

bool XResourceObserverInstance::WaitRecordingProcessEnds(DWORD milliseconds, bool wakeable)
{
    const auto deadline = std::chrono::steady_clock::now() + platform::ScaledDuration(milliseconds);
    for (;;) {
        bool woken = false;
        for (const XProcessEnd& end : m_processEnds->WaitForEnds(deadline, woken))
            RecordProcessEnd(end);
        if (woken && wakeable)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
}

void XResourceObserverInstance::WakeFromProcessEnds()
{
    m_processEnds->Wake();
}

void XResourceObserverInstance::RecordProcessEnd(const XProcessEnd& end) const
{
    static const XQNComBSTR function(u"XResourceObserverInstance::RecordProcessEnd");
    std::string figures = "none kept";
    if (const auto newest = GetNewestProcessResourceData(end.processName, end.processId)) {
        const auto ceilings = GetProcessCeilings(end.processName, end.processId);
        figures = "working set " + std::to_string(newest->workingSetKB) + " KB, private " + std::to_string(newest->pagefileUsageKB) + " KB, " +
                  std::to_string(newest->handleCount) + " descriptors, " + std::to_string(newest->threadCount) +
                  " threads; nearest ceiling: " + (ceilings ? NearestCeiling(*ceilings) : "none sent");
    }
    const bool killed = end.cause != XResourceAgent::kEnded;
    XQNError::WriteTraceToErrorLogBook(
        XQNResourceAgentModule::Location(kFile, __LINE__, function), killed ? QNSeverity_Error : QNSeverity_EventTrace,
        XQNComBSTR::GetFormatted(u"process of machine '%s', process name '%s', process id %u (pid %d here) ended - cause: %s (%s) - last figures: %s",
                                 end.machineName, end.processName, end.processId, end.pid, end.cause, end.why, figures),
        u"");
}
