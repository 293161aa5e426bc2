// Polling for what a test waits on in another process.
#pragma once

#include <chrono>
#include <thread>

namespace qntest {

// Reads with `read` every `period` until `holds` is true of the reading or `limit` has passed;
// returns the last reading.
template <typename Read, typename Holds>
auto Await(Read read, Holds holds, std::chrono::milliseconds limit, std::chrono::milliseconds period = std::chrono::milliseconds(10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    auto reading = read();
    while (!holds(reading) && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(period);
        reading = read();
    }
    return reading;
}

}  // namespace qntest
