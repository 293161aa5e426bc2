// The emergency texts, built once when the library is loaded and kept until it is unloaded.
#pragma once

#include "interfaces/QNConvert64.h"

namespace emergency {

struct EmergencyTexts {
    // The constants of the loaded module.
    static const EmergencyTexts& Get() noexcept;

    XQNComBSTR lowMemory{u"Low memory at server."};
    XQNComBSTR criticalServerException{u"Critical server exception state."};
    XQNComBSTR criticalDatabaseException{u"Critical database exception state."};
    XQNComBSTR criticalDatabaseAbortException{u"Critical database abort exception state."};
    XQNComBSTR updateManagerConnectionLost{u"Connection to UpdateManager lost."};
    XQNComBSTR lockManagerConnectionLost{u"Connection to LockManager lost."};
    XQNComBSTR loggerFailure{u"Critical QNLogger failure state."};
    XQNComBSTR loggerConnectionLost{u"Connection to QNLogger lost."};
    XQNComBSTR criticalServerAbortException{u"Critical server abort exception state."};
    XQNComBSTR tooManyThreads{u"Too many threads started"};
    XQNComBSTR tooManyHandles{u"Too many handles allocated"};
    XQNComBSTR inServerProcess{u"server process."};
    XQNComBSTR inUpdateMngProcess{u"UpdateMng process on Master Server."};
    XQNComBSTR inLockMngProcess{u"LockMng process on Master Server."};
    XQNComBSTR updateMngLowMemory{u"Low memory of UpdateMng process on Master server."};
    XQNComBSTR lockMngLowMemory{u"Low memory of LockMng process on Master server."};
    XQNComBSTR updateMngCriticalException{u"Critical exception in UpdateMng process on Master Server."};
    XQNComBSTR lockMngCriticalException{u"Critical exception in LockMng process on Master Server."};
};

}  // namespace emergency
