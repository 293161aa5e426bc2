// XBasicRefCountCritSection: a readers-writer lock that counts, per thread, the read and write
// references the thread holds, so that one thread may nest references freely while the underlying
// lock is entered once per thread and left once per thread. A thread whose first reference was a
// read reference can't add a write reference (no upgrade): the request raises instead of
// deadlocking. Safe for concurrent use.
#pragma once

#include <map>
#include <mutex>

#include "interfaces/QNComUtilities64.h"
#include "platform/Thread.h"

namespace cominc {

[[noreturn]] void ThrowWriteReferenceOnReadLock();
void LogReleaseWithoutReference();
void LogReleaseBelowZero();
void LogEntryNotRemoved();

}  // namespace cominc

template <typename Lock>
struct XCritSectionTraits {
    using LockType = Lock;
};

template <typename Traits>
class XBasicRefCountCritSection {
public:
    XBasicRefCountCritSection() = default;
    virtual ~XBasicRefCountCritSection() = default;
    XBasicRefCountCritSection(const XBasicRefCountCritSection&) = delete;
    XBasicRefCountCritSection& operator=(const XBasicRefCountCritSection&) = delete;

    // Adds a write reference for the calling thread; blocks for its first reference. Raises when the
    // thread holds read references, leaving its count as it was.
    void AddLockRef()
    {
        Entry entry = Reference(false);
        if (entry.refCount == 1) {
            m_lock.Lock(false);
        } else if (entry.readFlag != 0) {
            Unreference();
            cominc::ThrowWriteReferenceOnReadLock();
        }
    }

    // Adds a read reference for the calling thread; blocks for its first reference. On top of write
    // references it is only counted.
    void AddReadLockRef()
    {
        if (Reference(true).refCount == 1)
            m_lock.Lock(true);
    }

    // Releases one reference of either kind; problems are logged, never thrown, as this runs in
    // destructors.
    void ReleaseLockRef()
    {
        const DWORD thread = GetCurrentThreadId();
        LONG count = 0;
        LONG readFlag = 0;
        {
            std::lock_guard guard(m_guard);
            const auto it = m_table.find(thread);
            if (it == m_table.end()) {
                cominc::LogReleaseWithoutReference();
                return;
            }
            count = --it->second.refCount;
            readFlag = it->second.readFlag;
        }
        if (count < 0) {
            cominc::LogReleaseBelowZero();
            return;
        }
        if (count > 0)
            return;
        m_lock.Unlock(readFlag != 0);
        bool anomaly = false;
        {
            std::lock_guard guard(m_guard);
            const auto it = m_table.find(thread);
            if (it != m_table.end() && it->second.refCount == 0)
                m_table.erase(it);
            else
                anomaly = it != m_table.end();
        }
        if (anomaly)
            cominc::LogEntryNotRemoved();
    }

    // References the calling thread holds now (0 without an entry).
    LONG ThreadReferenceCount() const
    {
        std::lock_guard guard(m_guard);
        const auto it = m_table.find(GetCurrentThreadId());
        return it == m_table.end() ? 0 : it->second.refCount;
    }

private:
    struct Entry {
        LONG refCount;
        LONG readFlag;  // 1 when the thread's first reference was a read reference
    };

    // Counts one more reference of the calling thread; the internal guard is never held while
    // waiting for the underlying lock.
    Entry Reference(bool read)
    {
        std::lock_guard guard(m_guard);
        Entry& entry = m_table.try_emplace(GetCurrentThreadId(), Entry{0, 0}).first->second;
        if (read && entry.refCount == 0)
            entry.readFlag = 1;
        ++entry.refCount;
        return entry;
    }

    // Takes back the reference of a refused write request.
    void Unreference()
    {
        std::lock_guard guard(m_guard);
        --m_table[GetCurrentThreadId()].refCount;
    }

    typename Traits::LockType m_lock;
    mutable std::mutex m_guard;
    std::map<DWORD, Entry> m_table;
};

using XDefaultRefCountCritSection = XBasicRefCountCritSection<XCritSectionTraits<XCriticalSectionEx>>;

// Holds a pointer to a lock that it does not own.
template <typename Lock>
class _XRefCountCritSecWrapper {
public:
    explicit _XRefCountCritSecWrapper(Lock* lock) noexcept : m_lock(lock) {}
    virtual ~_XRefCountCritSecWrapper() = default;
    Lock* Get() const noexcept { return m_lock; }

private:
    Lock* m_lock;
};

// A write reference for the guard's lifetime.
template <typename Lock, typename W = _XRefCountCritSecWrapper<Lock>>
class _XSmartRefCountCritSection {
public:
    explicit _XSmartRefCountCritSection(Lock* lock) : m_wrapper(lock) { m_wrapper.Get()->AddLockRef(); }
    virtual ~_XSmartRefCountCritSection() { m_wrapper.Get()->ReleaseLockRef(); }
    _XSmartRefCountCritSection(const _XSmartRefCountCritSection&) = delete;
    _XSmartRefCountCritSection& operator=(const _XSmartRefCountCritSection&) = delete;

private:
    W m_wrapper;
};

// A read reference for the guard's lifetime.
template <typename Lock, typename W = _XRefCountCritSecWrapper<Lock>>
class _XSmartReadRefCountCritSection {
public:
    explicit _XSmartReadRefCountCritSection(Lock* lock) : m_wrapper(lock) { m_wrapper.Get()->AddReadLockRef(); }
    virtual ~_XSmartReadRefCountCritSection() { m_wrapper.Get()->ReleaseLockRef(); }
    _XSmartReadRefCountCritSection(const _XSmartReadRefCountCritSection&) = delete;
    _XSmartReadRefCountCritSection& operator=(const _XSmartReadRefCountCritSection&) = delete;

private:
    W m_wrapper;
};
