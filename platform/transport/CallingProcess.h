// The process behind each Unix socket connection, so that a call can name the process that made
// it: the pid of the connection's peer credentials, in this process's pid namespace.
#pragma once

#include <optional>
#include <string>

#include <sys/types.h>

namespace transport {

// Notes the peer process of the Unix socket connection `connection`; a descriptor taken again by
// a later connection overwrites its entry.
void NotePeerProcess(int connection);

// Names the process of the gRPC peer `peer` ("fd:N") as the calling process of this thread while
// it lives.
class CallingProcessScope {
public:
    explicit CallingProcessScope(const std::string& peer);
    ~CallingProcessScope();
    CallingProcessScope(const CallingProcessScope&) = delete;
    CallingProcessScope& operator=(const CallingProcessScope&) = delete;
};

}  // namespace transport
