#include "hosts/resource-observer/SystemObserverChoice.h"

#include "interfaces/QNError64.h"

namespace hosts {

namespace {

void LogMove(const char16_t* text, const std::string& left, const std::string& taken)
{
    const QNErrorLocation location{"qn-resource-observer", __LINE__, u"qn-resource-observer", u"SystemObserverChoice::AfterCheck"};
    XQNError::WriteErrorToLogBook(location, QNSeverity_ConnectionFailure, XQNComBSTR::GetFormatted(text, XQNComBSTR(left.c_str()), XQNComBSTR(taken.c_str())));
}

}  // namespace

SystemObserverChoice::SystemObserverChoice(std::vector<std::string> machines, unsigned relinkSeconds)
    : m_machines(std::move(machines)), m_relinkSeconds(relinkSeconds)
{
}

std::string SystemObserverChoice::Listed() const
{
    std::string listed;
    for (const std::string& machine : m_machines)
        listed += (listed.empty() ? "" : ",") + machine;
    return listed;
}

std::optional<std::string> SystemObserverChoice::AfterCheck(bool linked, unsigned long long linksMade)
{
    if (linked)
        return std::nullopt;
    const std::string& left = m_machines[m_current];
    if (!m_waitedSeconds) {
        m_failedWithoutAnswer = linksMade > m_linksAtNaming ? 0 : m_failedWithoutAnswer + 1;
        if (m_failedWithoutAnswer >= m_machines.size()) {
            LogMove(u"no system observer answered, the last on '%s' - trying '%s' after the relink interval", left,
                    m_machines[(m_current + 1) % m_machines.size()]);
            m_waitedSeconds = 0;
        }
    }
    if (m_waitedSeconds) {
        if ((*m_waitedSeconds += kCheckSeconds) < m_relinkSeconds)
            return std::nullopt;
        m_waitedSeconds.reset();
        m_failedWithoutAnswer = 0;
    }
    m_current = (m_current + 1) % m_machines.size();
    m_linksAtNaming = linksMade;
    const std::string& taken = m_machines[m_current];
    LogMove(taken == left ? u"the link to the system observer on '%s' failed - naming '%s' again"
                          : u"the link to the system observer on '%s' failed - reporting to the system observer on '%s' now",
            left, taken);
    return taken;
}

}  // namespace hosts
