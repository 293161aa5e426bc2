#include "platform/Event.h"

#include <condition_variable>
#include <mutex>

#include "platform/Clock.h"
#include "platform/Thread.h"

namespace {

struct Event {
    std::mutex mutex;
    std::condition_variable signalled;
    bool manualReset;
    bool state;
};

}  // namespace

HANDLE CreateEventW(void*, BOOL manualReset, BOOL initialState, const char16_t*)
{
    return new Event{{}, {}, manualReset != FALSE, initialState != FALSE};
}

BOOL SetEvent(HANDLE handle)
{
    auto* event = static_cast<Event*>(handle);
    if (event == nullptr) {
        SetLastError(EINVAL);
        return FALSE;
    }
    // Notified under the lock: a waiter that returns may close the event at once, and must find
    // this call done with it.
    std::lock_guard lock(event->mutex);
    event->state = true;
    if (event->manualReset)
        event->signalled.notify_all();
    else
        event->signalled.notify_one();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle)
{
    auto* event = static_cast<Event*>(handle);
    if (event == nullptr) {
        SetLastError(EINVAL);
        return FALSE;
    }
    std::lock_guard lock(event->mutex);
    event->state = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    auto* event = static_cast<Event*>(handle);
    if (event == nullptr) {
        SetLastError(EINVAL);
        return WAIT_FAILED;
    }
    std::unique_lock lock(event->mutex);
    const auto isSet = [event] { return event->state; };
    if (milliseconds == INFINITE)
        event->signalled.wait(lock, isSet);
    else if (!event->signalled.wait_for(lock, platform::ScaledDuration(milliseconds), isSet))
        return WAIT_TIMEOUT;
    if (!event->manualReset)
        event->state = false;
    return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE handle)
{
    if (handle == nullptr) {
        SetLastError(EINVAL);
        return FALSE;
    }
    delete static_cast<Event*>(handle);
    return TRUE;
}
