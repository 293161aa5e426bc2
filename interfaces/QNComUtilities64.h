// XCriticalSectionEx: the support library's readers-writer lock. Entering with true is shared with
// other readers, entering with false is exclusive; leave with the flag used to enter. A thread
// enters it at most once at a time (callers count nested use themselves).
#pragma once

#include <shared_mutex>

#include "platform/Export.h"

class QN_EXPORT XCriticalSectionEx {
public:
    XCriticalSectionEx();
    virtual ~XCriticalSectionEx();
    XCriticalSectionEx(const XCriticalSectionEx&) = delete;
    XCriticalSectionEx& operator=(const XCriticalSectionEx&) = delete;

    virtual void Lock(bool bRead);
    virtual void Unlock(bool bRead);

private:
    std::shared_mutex m_lock;
};
