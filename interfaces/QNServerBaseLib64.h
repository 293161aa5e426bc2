// XThreadScheduler: the server's thread scheduler. Threads it starts need no COM initialisation on
// Linux. Safe for concurrent use.
#pragma once

#include <list>
#include <memory>
#include <mutex>

#include "platform/Export.h"
#include "platform/WinTypes.h"

// One thread started by the scheduler: what it runs. Owned by the scheduler and valid while the
// thread runs.
struct XThreadInit {
    DWORD (*proc)(void*);
    void* parameter;
};

class QN_EXPORT XThreadScheduler {
public:
    // The process's scheduler; never null.
    static XThreadScheduler* GetInstance();

    // Starts a detached thread running `proc(parameter)`. `argument` is the caller's scheduling hint
    // and is not used on Linux. Null when the thread could not be started.
    XThreadInit* StartThread(DWORD (*proc)(void*), void* parameter, int argument);

    XThreadScheduler(const XThreadScheduler&) = delete;
    XThreadScheduler& operator=(const XThreadScheduler&) = delete;

private:
    XThreadScheduler() = default;
    // Never destroyed: threads still running at exit must find it intact.
    ~XThreadScheduler() = default;
    void Forget(const XThreadInit* thread);

    std::mutex m_mutex;
    std::list<std::unique_ptr<XThreadInit>> m_threads;
};
