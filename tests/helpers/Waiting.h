// Whether another thread of this process reached a lock and waits there: the proof a test needs
// before it counts "it has not happened yet".
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>

#include "tests/helpers/Await.h"

namespace qntest {

// The id of the calling thread, for WaitsOnALock.
inline pid_t ThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// Waits up to `limit` until thread `tid` of this process sleeps in a futex wait, where a thread
// blocked on a mutex, a readers-writer lock or a condition ends up; true once it does.
inline bool WaitsOnALock(const std::atomic<pid_t>& tid, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto asleepInFutex = [&tid] {
        if (tid == 0)
            return false;
        std::ifstream file("/proc/self/task/" + std::to_string(tid.load()) + "/syscall");
        long number = -1;
        return static_cast<bool>(file >> number) && number == SYS_futex;
    };
    return Await(asleepInFutex, [](bool asleep) { return asleep; }, limit);
}

}  // namespace qntest
