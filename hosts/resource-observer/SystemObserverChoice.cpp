#include "hosts/resource-observer/SystemObserverChoice.h"

#include "interfaces/QNError64.h"

namespace hosts {

namespace {

using std::chrono::seconds;

void LogMove(const char16_t* text, const std::string& left, const std::string& taken)
{
    const QNErrorLocation location{"qn-resource-observer", __LINE__, u"qn-resource-observer", u"SystemObserverChoice::AfterCheck"};
    XQNError::WriteErrorToLogBook(location, QNSeverity_ConnectionFailure, XQNComBSTR::GetFormatted(text, XQNComBSTR(left.c_str()), XQNComBSTR(taken.c_str())));
}

}  // namespace

SystemObserverChoice::SystemObserverChoice(std::vector<std::string> machines, unsigned cycleSeconds, unsigned relinkSeconds)
    : m_machines(std::move(machines)), m_delay(seconds(cycleSeconds), seconds(relinkSeconds))
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
    const bool answered = linksMade > m_linksAtNaming;
    if (answered)
        m_delay.Reset();
    if (linked)
        return std::nullopt;
    const std::string& left = m_machines[m_current];
    if (!m_wait) {
        m_failedWithoutAnswer = answered ? 0 : m_failedWithoutAnswer + 1;
        if (m_failedWithoutAnswer >= m_machines.size()) {
            LogMove(u"no system observer answered, the last on '%s' - trying '%s' after a wait of at most the relink interval", left,
                    m_machines[(m_current + 1) % m_machines.size()]);
            m_failedWithoutAnswer = 0;
        }
        // A link that broke after it answered moves at once: a fleet's links break at each
        // machine's next cycle, so its moves are spread over a cycle already. One that never
        // answered, or whose handshake was refused, is left after the growing random wait.
        m_wait = answered ? std::chrono::milliseconds(0) : m_delay.Next();
        m_linksAtNaming = linksMade;
    }
    if (*m_wait >= seconds(kCheckSeconds)) {
        *m_wait -= seconds(kCheckSeconds);
        return std::nullopt;
    }
    m_wait.reset();
    m_current = (m_current + 1) % m_machines.size();
    const std::string& taken = m_machines[m_current];
    LogMove(taken == left ? u"the link to the system observer on '%s' failed - naming '%s' again"
                          : u"the link to the system observer on '%s' failed - reporting to the system observer on '%s' now",
            left, taken);
    return taken;
}

}  // namespace hosts
