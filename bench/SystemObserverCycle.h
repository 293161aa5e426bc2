// The benches' view of the system observer's worker: one cycle of its store.
#pragma once

#include "systemobserver/XSystemResourceObserverInstance.h"

struct XSystemResourceObserverInstanceProbe {
    static void Cycle(XSystemResourceObserverInstance& store)
    {
        store.CountCycle();
        store.CleanupResourceObserver();
    }
};
