// The module's entry: constants built when the library is loaded, the locations of its logbook
// entries, and the fault translator.
#pragma once

#include "interfaces/QNError64.h"

class XQNResourceAgentModule {
public:
    // "QNResourceAgent", the component of every location of this library.
    static const XQNComBSTR& ComponentName() noexcept;

    static QNErrorLocation Location(const char* file, int line, const XQNComBSTR& function) noexcept
    {
        return {file, line, ComponentName(), function};
    }

    // Hardware faults (SIGSEGV, SIGFPE) end the process on Linux: throwing out of a signal handler
    // is not async-signal-safe, needs every frame in between built with -fnon-call-exceptions
    // (gRPC's included) and breaks under the sanitizers. The entry points still call this where a
    // translator is installed, so that the one place to change is here.
    static void InstallExceptionTranslator() noexcept {}
};
