#include "interfaces/QNComUtilities64.h"

XCriticalSectionEx::XCriticalSectionEx() = default;

XCriticalSectionEx::~XCriticalSectionEx() = default;

void XCriticalSectionEx::Lock(bool bRead)
{
    if (bRead)
        m_lock.lock_shared();
    else
        m_lock.lock();
}

void XCriticalSectionEx::Unlock(bool bRead)
{
    if (bRead)
        m_lock.unlock_shared();
    else
        m_lock.unlock();
}
