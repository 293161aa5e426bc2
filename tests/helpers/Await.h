// Polling for what a test waits on in another process, and paced work beside a test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

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

// Does `action` at once and then every `period` on a thread of its own, until destroyed; the
// destructor does not wait out a period.
class Repeating {
public:
    Repeating(std::chrono::milliseconds period, std::function<void()> action)
        : m_thread([this, period, action = std::move(action)] {
              std::unique_lock lock(m_mutex);
              do {
                  lock.unlock();
                  action();
                  lock.lock();
              } while (!m_stopped.wait_for(lock, period, [this] { return m_stop; }));
          })
    {
    }
    ~Repeating()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_stopped.notify_all();
        m_thread.join();
    }
    Repeating(const Repeating&) = delete;
    Repeating& operator=(const Repeating&) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_stopped;
    bool m_stop = false;
    std::thread m_thread;  // last: it starts once the rest is made
};

// Ends the test's process with a failure when it is still alive `limit` after this was made: a
// lock that is never freed blocks the test's own thread, which no later check would reach.
class HangDeadline : public Repeating {
public:
    explicit HangDeadline(const char* what, std::chrono::seconds limit = std::chrono::seconds(60))
        : Repeating(limit, [what, limit, started = false]() mutable {
              if (!std::exchange(started, true))
                  return;
              std::fprintf(stderr, "FAILED: %s did not end within %lld s\n", what, static_cast<long long>(limit.count()));
              std::_Exit(1);
          })
    {
    }
};

}  // namespace qntest
