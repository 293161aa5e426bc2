// Which system observer the resource observer reports to, out of several in order of preference:
// the first that answers, and then the one in use until its link fails, so that a machine that
// comes and goes does not move the fleet back and forth. When a link that answered breaks, the
// next one is named at its host's next check; when the one named did not answer, after a random
// wait (platform::RetryDelay): within one cycle the first time, within ever longer ones while the
// system observers don't answer, at most the relink interval. A whole fleet that lost its system
// observer at once so arrives at the next spread over the cycle in which each saw the loss, and
// those it refused come back ever more thinly.
// Used by the host's main thread alone.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/RetryDelay.h"

namespace hosts {

class SystemObserverChoice {
public:
    // How often the host looks at the link.
    static constexpr unsigned kCheckSeconds = 1;

    // `machines` in order of preference, at least one; `cycleSeconds` is the observer's cycle, over
    // which the first retry is spread; `relinkSeconds` the longest wait before a retry.
    SystemObserverChoice(std::vector<std::string> machines, unsigned cycleSeconds, unsigned relinkSeconds);

    // The machine to name first.
    const std::string& First() const { return m_machines.front(); }
    // The machines as the command line gave them, for the host's first line.
    std::string Listed() const;

    // Once every kCheckSeconds, with whether the worker of the named system observer still runs
    // and how many links the observer made so far: the machine to name now, if any. Every move
    // is logged with the machine left and the one taken.
    std::optional<std::string> AfterCheck(bool linked, unsigned long long linksMade);

private:
    std::vector<std::string> m_machines;
    platform::RetryDelay m_delay;
    size_t m_current = 0;
    unsigned long long m_linksAtNaming = 0;
    size_t m_failedWithoutAnswer = 0;  // in a row
    std::optional<std::chrono::milliseconds> m_wait;  // left before the next is named
};

}  // namespace hosts
