#include "interfaces/QNServerBaseLib64.h"

#include <system_error>
#include <thread>

XThreadScheduler* XThreadScheduler::GetInstance()
{
    static XThreadScheduler* const scheduler = new XThreadScheduler;
    return scheduler;
}

XThreadInit* XThreadScheduler::StartThread(DWORD (*proc)(void*), void* parameter, int)
{
    XThreadInit* thread = nullptr;
    {
        std::lock_guard lock(m_mutex);
        m_threads.push_back(std::make_unique<XThreadInit>(XThreadInit{proc, parameter}));
        thread = m_threads.back().get();
    }
    try {
        // Detached: the tasks wait for their workers through events of their own.
        std::thread([this, thread] {
            thread->proc(thread->parameter);
            Forget(thread);
        }).detach();
    } catch (const std::system_error&) {
        Forget(thread);
        return nullptr;
    }
    return thread;
}

void XThreadScheduler::Forget(const XThreadInit* thread)
{
    std::lock_guard lock(m_mutex);
    m_threads.remove_if([thread](const std::unique_ptr<XThreadInit>& known) { return known.get() == thread; });
}
