// The little of COM that the library's code uses: IUnknown with reference counting, CComPtr and the
// COM error object.
#pragma once

#include <utility>

#include "platform/Export.h"
#include "platform/WinTypes.h"

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

namespace ATL {

// An owning interface pointer: AddRef on copy, Release on destruction.
template <typename T>
class CComPtr {
public:
    CComPtr() noexcept = default;
    CComPtr(T* pointer) noexcept : p(pointer)
    {
        if (p != nullptr)
            p->AddRef();
    }
    CComPtr(const CComPtr& other) noexcept : CComPtr(other.p) {}
    CComPtr(CComPtr&& other) noexcept : p(std::exchange(other.p, nullptr)) {}
    ~CComPtr() { Release(); }

    CComPtr& operator=(const CComPtr& other) noexcept
    {
        CComPtr copy(other);
        std::swap(p, copy.p);
        return *this;
    }
    CComPtr& operator=(CComPtr&& other) noexcept
    {
        CComPtr moved(std::move(other));
        std::swap(p, moved.p);
        return *this;
    }
    CComPtr& operator=(T* pointer) noexcept { return *this = CComPtr(pointer); }

    T* operator->() const noexcept { return p; }
    operator T*() const noexcept { return p; }
    // For out parameters: the pointer must be empty, the callee hands over its reference.
    T** operator&() noexcept { return &p; }

    void Release() noexcept
    {
        if (T* old = std::exchange(p, nullptr))
            old->Release();
    }
    // Takes over a reference without AddRef.
    void Attach(T* pointer) noexcept
    {
        Release();
        p = pointer;
    }
    T* Detach() noexcept { return std::exchange(p, nullptr); }

    // Queries the object for Q; the result is empty (with the failure returned) when it has none.
    template <typename Q>
    HRESULT QueryInterface(Q** result) const
    {
        return p->QueryInterface(Q::kIid, reinterpret_cast<void**>(result));
    }

    T* p = nullptr;
};

// The IUnknown of an object that outlives every reference to it, as a program's or a test's own
// objects do: counting does nothing, and QueryInterface offers IUnknown (as `First`) and every
// interface of the object that has an interface id.
template <typename First, typename... Others>
class CComObjectGlobal : public First, public Others... {
public:
    HRESULT QueryInterface(REFIID iid, void** object) override
    {
        *object = iid == IID_IUnknown ? static_cast<First*>(this) : nullptr;
        (Offer<First>(iid, *object), ..., Offer<Others>(iid, *object));
        return *object != nullptr ? S_OK : E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

private:
    // An interface that extends another (`Base`) offers that one too, and its base in turn; each
    // reached through the interface the object was declared with (`Via`).
    template <typename Interface, typename Via = Interface>
    void Offer(REFIID iid, void*& object)
    {
        if constexpr (requires { Interface::kIid; })
            if (object == nullptr && iid == Interface::kIid)
                object = static_cast<Interface*>(static_cast<Via*>(this));
        if constexpr (requires { typename Interface::Base; })
            Offer<typename Interface::Base, Via>(iid, object);
    }
};

}  // namespace ATL

using ATL::CComObjectGlobal;
using ATL::CComPtr;

// A failed COM call carried as an exception.
class QN_EXPORT _com_error {
public:
    explicit _com_error(HRESULT result) noexcept : m_result(result) {}
    HRESULT Error() const noexcept { return m_result; }

private:
    HRESULT m_result;
};
