// RetryDelay spreads the retries of clients that all failed at once, when the server they share
// was lost or restarted: each waits a random time between none and a limit that doubles with each
// failure in a row, from one spread (a cycle, say) up to a ceiling. The first retries of a fleet
// arrive over a whole spread instead of in the same second, and those that a busy server refused
// come back ever more thinly. A success starts over.
#pragma once

#include <chrono>
#include <random>

namespace platform {

class RetryDelay {
public:
    // `firstSpread` bounds the wait after the first failure, `ceiling` every wait.
    RetryDelay(std::chrono::milliseconds firstSpread, std::chrono::milliseconds ceiling);

    // The wait before the next try, after one more failure.
    std::chrono::milliseconds Next();
    // After a success: the next failure is a first one again.
    void Reset() { m_failures = 0; }

private:
    std::chrono::milliseconds m_firstSpread;
    std::chrono::milliseconds m_ceiling;
    unsigned m_failures = 0;  // in a row
    std::mt19937 m_random;
};

}  // namespace platform
