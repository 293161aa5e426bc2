// The resource observer's worker: once per observer cycle the bookkeeping of the histories, one
// synchronisation with the system observer and the cleanup. It ends on the first failure; the
// host starts a fresh one by naming the system observer again.
#pragma once

#include "Cominc64/XWakeableTask.h"

class XResourceObserverInstance;

class XResourceObserverInstanceTask : public XWakeableTask<XResourceObserverInstance> {
public:
    DWORD Execute(XResourceObserverInstance* owner) override;
};
