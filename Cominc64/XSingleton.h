// Lock-free publication and teardown of the library's process-wide singletons.
#pragma once

#include <atomic>

namespace cominc {

// The published object, created by `make()` on first use. Losers of a race hand their own object
// to `destroy` and return the published one; exceptions of `make` pass out and nothing is
// published. (The callers' lambdas may reach private constructors and destructors.)
template <typename T, typename Make, typename Destroy>
T& PublishedInstance(std::atomic<T*>& global, Make make, Destroy destroy)
{
    T* instance = global.load(std::memory_order_acquire);
    if (instance != nullptr)
        return *instance;
    T* created = make();
    if (global.compare_exchange_strong(instance, created, std::memory_order_acq_rel))
        return *created;
    destroy(created);
    return *instance;
}

// Takes the published object out and hands it to `destroy`; nothing happens when there is none.
template <typename T, typename Destroy>
void TakeInstance(std::atomic<T*>& global, Destroy destroy)
{
    if (T* instance = global.exchange(nullptr, std::memory_order_acq_rel))
        destroy(instance);
}

}  // namespace cominc
