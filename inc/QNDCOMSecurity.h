// The DCOM security settings of the installation, read from the registry values
// DisableAuthentication, EnablePacketPrivacy and DCOMAuthenticationService under
// SOFTWARE\KORVEL. Both functions are safe to call from any thread.
#pragma once

#include "platform/Export.h"
#include "platform/WinTypes.h"

class QN_EXPORT QNDCOMSecurity {
public:
    QNDCOMSecurity() = delete;

    // 1 (none) when DisableAuthentication is not 0; otherwise 6 (packet privacy) when
    // EnablePacketPrivacy is not 0, else 2 (connect). S_OK, or the logged failure of reading a value
    // that must be present (the level is then 2).
    static HRESULT GetAuthenticationLevel(DWORD* level);
    // 0 for "none" (any case), 10 (WINNT) for anything else. A missing value is logged and leaves 10.
    static HRESULT GetAuthenticationService(DWORD* service);
};

struct COAUTHINFO;
struct QNErrorLocation;

namespace qndcom {

// The authentication of a connection from the installation's settings: an unreadable level is
// raised at `levelFailure` ("QNDCOMSec::GetAuthenticationLevel failed"), the result of reading the
// service is logged at `serviceResult` and the connection goes on with what it left.
COAUTHINFO ConnectionAuthentication(const QNErrorLocation& levelFailure, const QNErrorLocation& serviceResult);

}  // namespace qndcom
