// The English texts of emergency codes, emergency states and resource alert states, and the server
// program's revoke callback. All members are static and safe to call from any thread; the text
// builders never throw on any input value.
#pragma once

#include "emergency/QNServerEmergency.h"
#include "interfaces/QNConvert64.h"
#include "platform/Export.h"

class QN_EXPORT XEmergencyHandlerHelper {
public:
    XEmergencyHandlerHelper() = delete;

    // The texts of the state's bits joined by " / "; empty when no bit has a text.
    static XQNComBSTR BuildEmergencyStateMsg(LONG state);
    // The state text of `code`, or "<-generic emergency (code: N)->" when it has none.
    static XQNComBSTR BuildEmergencyCauseMsg(QNServerEmergency code);

    // Keeps the server's function that revokes its COM class objects, replacing an earlier one. The
    // library never calls it.
    static void RegisterRevokeCOMInstancesCallback(void (*callback)());
    // The stored callback; null when none was registered.
    static void (*GetRevokeCOMInstancesCallback())();
};

class QN_EXPORT XResourceHandlerHelper {
public:
    XResourceHandlerHelper() = delete;

    // The texts of the six alert bits 0x01 to 0x20 joined by " / "; empty when none is set. Bits
    // above 0x20, this system's additions among them, have no text here (XResourceAlertAdditions).
    static XQNComBSTR BuildResourceAlertStateMsg(LONG state);
};
