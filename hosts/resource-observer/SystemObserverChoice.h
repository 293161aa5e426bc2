// Which system observer the resource observer reports to, out of several in order of preference:
// the first that answers, and then the one in use until its link fails, so that a machine that
// comes and goes does not move the fleet back and forth. Used by the host's main thread alone.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace hosts {

class SystemObserverChoice {
public:
    // How often the host looks at the link: a failed one is replaced within this many seconds.
    static constexpr unsigned kCheckSeconds = 1;

    // `machines` in order of preference, at least one; `relinkSeconds` is waited once every one
    // of them failed without answering.
    SystemObserverChoice(std::vector<std::string> machines, unsigned relinkSeconds);

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
    unsigned m_relinkSeconds;
    size_t m_current = 0;
    unsigned long long m_linksAtNaming = 0;
    size_t m_failedWithoutAnswer = 0;  // in a row
    std::optional<unsigned> m_waitedSeconds;  // set while the relink interval is waited out
};

}  // namespace hosts
