// LogThrottle keeps a fault that repeats itself thousands of times a second, such as a peer that
// sends nothing but garbage, to one line a minute in the logbook for each source.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

namespace platform {

class LogThrottle {
public:
    // Whether an entry for `source` is to be written at `now`; if so, `held` is how many entries
    // of that source were held back since its last one.
    bool Admit(const std::string& source, unsigned long long& held, std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());

private:
    struct Source {
        std::chrono::steady_clock::time_point written;
        unsigned long long held = 0;
    };
    std::mutex m_mutex;
    std::unordered_map<std::string, Source> m_sources;
};

// What an entry adds after `held` entries of its source were held back: nothing after none.
std::string HeldBackNote(unsigned long long held);

}  // namespace platform
