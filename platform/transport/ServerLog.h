// The servers' logbook entries: transport events of severity 5 under the component QNTransport.
#pragma once

#include <string>

#include "interfaces/QNError64.h"

namespace transport {

inline void LogTransport(int line, const OLECHAR* function, HRESULT result, const std::string& message)
{
    static const XQNComBSTR component(u"QNTransport");
    XQNError::WriteErrorToLogBook({"platform/transport/ComServer", line, component, function}, result, QNSeverity_CallFailure,
                                  platform::ToUtf16(message));
}

}  // namespace transport
