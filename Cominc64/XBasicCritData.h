// Guarded data: a value (XCritData) or an owned pointer (XCritDataPtr) with a lock of its own,
// reachable only through short-lived proxies that hold a read or a write reference on the lock for
// their lifetime. Proxies nest per thread (see XBasicRefCountCritSection); they are returned by value
// and live on the caller's stack.
#pragma once

#include <memory>

#include "Cominc64/XBasicCritSection.h"

namespace cominc {

[[noreturn]] void ThrowNullGuardedPointer();

}  // namespace cominc

template <typename T>
class XCritProxyData {
public:
    explicit XCritProxyData(T* value) noexcept : m_value(value) {}
    T* operator->() const noexcept { return m_value; }
    T& operator*() const noexcept { return *m_value; }
    bool operator==(const T& other) const { return *m_value == other; }

protected:
    T* m_value;
};

template <typename T>
using XCritProxyData_const = XCritProxyData<const T>;

template <typename T>
class XCritProxyDataPtr {
public:
    explicit XCritProxyDataPtr(T** pointer) noexcept : m_pointer(pointer) {}
    bool IsValid() const noexcept { return *m_pointer != nullptr; }
    T* operator->() const { return GetCheckedPtr(); }
    // The held pointer; raises the null-pointer exception when it is null.
    T* GetCheckedPtr() const
    {
        if (*m_pointer == nullptr)
            cominc::ThrowNullGuardedPointer();
        return *m_pointer;
    }

protected:
    T** m_pointer;
};

template <typename T, typename Lock = XDefaultRefCountCritSection, typename W = _XRefCountCritSecWrapper<Lock>>
class XCritProxy : public XCritProxyData<T> {
public:
    XCritProxy(T* value, Lock* lock) : XCritProxyData<T>(value), m_guard(lock) {}
    virtual ~XCritProxy() = default;
    XCritProxy(const XCritProxy&) = delete;
    XCritProxy& operator=(const T& value)
    {
        *this->m_value = value;
        return *this;
    }

private:
    _XSmartRefCountCritSection<Lock, W> m_guard;
};

template <typename T, typename Lock = XDefaultRefCountCritSection, typename W = _XRefCountCritSecWrapper<Lock>>
class XCritReadProxy : public XCritProxyData<T> {
public:
    XCritReadProxy(T* value, Lock* lock) : XCritProxyData<T>(value), m_guard(lock) {}
    virtual ~XCritReadProxy() = default;
    XCritReadProxy(const XCritReadProxy&) = delete;
    XCritReadProxy& operator=(const XCritReadProxy&) = delete;

private:
    _XSmartReadRefCountCritSection<Lock, W> m_guard;
};

template <typename T, typename Lock = XDefaultRefCountCritSection, typename W = _XRefCountCritSecWrapper<Lock>>
class XCritReadProxy_const : public XCritProxyData_const<T> {
public:
    XCritReadProxy_const(const T* value, Lock* lock) : XCritProxyData_const<T>(value), m_guard(lock) {}
    virtual ~XCritReadProxy_const() = default;
    XCritReadProxy_const(const XCritReadProxy_const&) = delete;
    XCritReadProxy_const& operator=(const XCritReadProxy_const&) = delete;

private:
    _XSmartReadRefCountCritSection<Lock, W> m_guard;
};

template <typename T, typename Lock = XDefaultRefCountCritSection, typename W = _XRefCountCritSecWrapper<Lock>>
class XCritProxyPtr : public XCritProxyDataPtr<T> {
public:
    XCritProxyPtr(T** pointer, Lock* lock) : XCritProxyDataPtr<T>(pointer), m_guard(lock) {}
    virtual ~XCritProxyPtr() = default;
    XCritProxyPtr(const XCritProxyPtr&) = delete;
    XCritProxyPtr& operator=(const XCritProxyPtr&) = delete;
    // Stores a new pointer; the old pointee is not deleted.
    void SetPtr(T* pointer) noexcept { *this->m_pointer = pointer; }

private:
    _XSmartRefCountCritSection<Lock, W> m_guard;
};

template <typename T, typename Lock = XDefaultRefCountCritSection, typename W = _XRefCountCritSecWrapper<Lock>>
class XCritReadProxyPtr : public XCritProxyDataPtr<T> {
public:
    XCritReadProxyPtr(T** pointer, Lock* lock) : XCritProxyDataPtr<T>(pointer), m_guard(lock) {}
    virtual ~XCritReadProxyPtr() = default;
    XCritReadProxyPtr(const XCritReadProxyPtr&) = delete;
    XCritReadProxyPtr& operator=(const XCritReadProxyPtr&) = delete;

private:
    _XSmartReadRefCountCritSection<Lock, W> m_guard;
};

template <typename T, typename Lock = XDefaultRefCountCritSection, typename W = _XRefCountCritSecWrapper<Lock>>
class XCritReadProxyPtr_const : public XCritProxyDataPtr<T> {
public:
    XCritReadProxyPtr_const(T* const* pointer, Lock* lock) : XCritProxyDataPtr<T>(const_cast<T**>(pointer)), m_guard(lock) {}
    virtual ~XCritReadProxyPtr_const() = default;
    XCritReadProxyPtr_const(const XCritReadProxyPtr_const&) = delete;
    XCritReadProxyPtr_const& operator=(const XCritReadProxyPtr_const&) = delete;
    const T* operator->() const { return this->GetCheckedPtr(); }

private:
    _XSmartReadRefCountCritSection<Lock, W> m_guard;
};

template <typename T>
class XCritData_write {
public:
    virtual ~XCritData_write() = default;
    virtual void Set(const T& value) = 0;
};

// A value of T with its own lock. Copying copies the value under the source's read reference and
// gives the copy a fresh lock; locks are never copied.
template <typename T, typename Lock = XDefaultRefCountCritSection, typename W = _XRefCountCritSecWrapper<Lock>>
class XCritData : public XCritData_write<T> {
public:
    XCritData() = default;
    explicit XCritData(const T& value) : m_value(value) {}
    XCritData(const XCritData& other) : m_value(*other.GetConstReadProxy()) {}
    XCritData& operator=(const XCritData&) = delete;

    void Set(const T& value) override { *GetWriteProxy() = value; }

    // std::addressof: a value such as CComPtr overloads its operator&.
    XCritProxy<T, Lock, W> GetWriteProxy() { return {std::addressof(m_value), &m_lock}; }
    XCritReadProxy<T, Lock, W> GetReadProxy() { return {std::addressof(m_value), &m_lock}; }
    XCritReadProxy_const<T, Lock, W> GetConstReadProxy() const { return {std::addressof(m_value), &m_lock}; }

private:
    T m_value{};
    mutable Lock m_lock;
};

template <typename T>
class XCritDataPtr_write : public XCritData_write<T> {
public:
    virtual void DeletePtr() = 0;
    virtual void DeleteArrayPtr() = 0;
    virtual void SetPtr(T* pointer) = 0;
};

// An owned pointer to T with its own lock; the pointee is deleted by DeletePtr or with the holder.
template <typename T, typename Lock = XDefaultRefCountCritSection, typename W = _XRefCountCritSecWrapper<Lock>>
class XCritDataPtr : public XCritDataPtr_write<T> {
public:
    explicit XCritDataPtr(T* pointer = nullptr) noexcept : m_pointer(pointer) {}
    ~XCritDataPtr() override { DeletePtr(); }
    XCritDataPtr(const XCritDataPtr&) = delete;
    XCritDataPtr& operator=(const XCritDataPtr&) = delete;

    bool IsValid() const { return GetConstReadProxyPtr().IsValid(); }

    // A guarded pointer carries no value of its own to set.
    void Set(const T&) override {}
    void DeletePtr() override
    {
        if (IsValid()) {
            auto proxy = GetWriteProxyPtr();
            if (proxy.IsValid())
                delete proxy.GetCheckedPtr();
            proxy.SetPtr(nullptr);
        }
    }
    void DeleteArrayPtr() override
    {
        if (IsValid()) {
            auto proxy = GetWriteProxyPtr();
            if (proxy.IsValid())
                delete[] proxy.GetCheckedPtr();
            proxy.SetPtr(nullptr);
        }
    }
    void SetPtr(T* pointer) override { GetWriteProxyPtr().SetPtr(pointer); }

    XCritProxyPtr<T, Lock, W> GetWriteProxyPtr() { return {&m_pointer, &m_lock}; }
    XCritReadProxyPtr<T, Lock, W> GetReadProxyPtr() { return {&m_pointer, &m_lock}; }
    XCritReadProxyPtr_const<T, Lock, W> GetConstReadProxyPtr() const { return {&m_pointer, &m_lock}; }
    // A read proxy on the pointee; raises when the pointer is null.
    XCritReadProxy<T, Lock, W> GetReadProxy()
    {
        auto pointer = GetReadProxyPtr();
        return {pointer.GetCheckedPtr(), &m_lock};
    }

private:
    T* m_pointer;
    mutable Lock m_lock;
};
