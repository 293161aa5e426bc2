#include "platform/Thread.h"

#include <pthread.h>
#include <unistd.h>

#include <string>

namespace {

thread_local DWORD t_lastError = 0;
// gettid is a real system call; the lock tables ask for it on every proxy, so it is cached.
thread_local DWORD t_threadId = 0;

// A forked child's only thread must not keep its parent thread's id.
const int kForgetThreadIdInChild = pthread_atfork(nullptr, nullptr, [] { t_threadId = 0; });

}  // namespace

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

DWORD GetCurrentThreadId()
{
    if (t_threadId == 0)
        t_threadId = static_cast<DWORD>(::gettid());
    return t_threadId;
}

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD code) { t_lastError = code; }

namespace platform {

void SetCurrentThreadName(const char* name)
{
    ::pthread_setname_np(::pthread_self(), std::string(name).substr(0, 15).c_str());
}

}  // namespace platform
