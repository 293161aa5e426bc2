#include "platform/transport/Runtime.h"

#include <absl/synchronization/mutex.h>
#include <google/protobuf/stubs/logging.h>

#include <mutex>
#include <string>

#include "interfaces/QNError64.h"
#include "platform/Bstr.h"
#include "platform/LogThrottle.h"

namespace transport {

namespace {

// protobuf complains on standard error about every message it can't take (a string that isn't
// UTF-8, say): a peer sending such messages in a loop would flood it. Its lines go into the
// logbook instead, once a minute for each place in protobuf that writes them.
void ToLogbook(google::protobuf::LogLevel level, const char* file, int line, const std::string& message)
{
    static platform::LogThrottle throttle;
    unsigned long long held = 0;
    if (!throttle.Admit(std::string(file) + ":" + std::to_string(line), held))
        return;
    const std::string text = "libprotobuf " + std::string(file) + ":" + std::to_string(line) + ": " + message + platform::HeldBackNote(held);
    XQNError::WriteErrorToLogBook({"platform/transport/Runtime", __LINE__, u"QNTransport", u"libprotobuf"},
                                  level >= google::protobuf::LOGLEVEL_ERROR ? QNSeverity_CallFailure : QNSeverity_Trace, platform::ToUtf16(text));
}

}  // namespace

void PrepareRuntime()
{
    static std::once_flag prepared;
    std::call_once(prepared, [] {
        // Debian's abseil is built with assertions, so every lock gRPC takes would also update a
        // lock-order graph: a tenth of an observer's time under load. Lock order is tested here
        // with ThreadSanitizer instead.
        absl::SetMutexDeadlockDetectionMode(absl::OnDeadlockCycle::kIgnore);
        google::protobuf::SetLogHandler(&ToLogbook);
    });
}

}  // namespace transport
