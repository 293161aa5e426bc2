// The resource alerts this system adds to the six that hosts and their peers have always had, and
// the text the programs show an operator for an alert state. XResourceHandlerHelper keeps naming
// the six alone, so that the logbook lines built from it read as they always have; a program that
// shows an alert state names it here. All members are static and safe from any thread.
#pragma once

#include "interfaces/QNConvert64.h"
#include "platform/Export.h"
#include "platform/WinTypes.h"

enum QNResourceAlertAddition : LONG {
    HighPressure = 0x40,  // tasks stall on cpu, memory or io for more than the pressure limit
};

class QN_EXPORT XResourceAlertAdditions {
public:
    XResourceAlertAdditions() = delete;

    // The text of BuildResourceAlertStateMsg(state), followed by the texts of the additions the
    // state holds, all joined by " / "; empty when no bit of the state has a text.
    static XQNComBSTR BuildAlertStateMsg(LONG state);
};
