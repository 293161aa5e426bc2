// What the host programs share: the HRESULT of a call into the library, the waits for a stop
// signal, and the DCOM security settings the servers apply.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <new>

#include "inc/QNDCOMSecurity.h"
#include "platform/Clock.h"
#include "interfaces/QNError64.h"
#include "platform/transport/Activation.h"
#include "platform/transport/ComServer.h"

namespace hosts {

// Runs `call` and turns what it throws into the caller's result; the library's own exceptions
// are logged, as a COM server records the error of a failed call.
template <typename Call>
HRESULT ResultOf(Call&& call) noexcept
{
    try {
        call();
        return S_OK;
    } catch (const XWrappedQNException& exception) {
        XQNError::WriteErrorToLogBook(exception);
        return FAILED(exception.Get().Result()) ? exception.Get().Result() : E_FAIL;
    } catch (const _com_error& error) {
        return error.Error();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

// What a sample refused by a store's bounds is answered: the store is full for new names.
inline constexpr HRESULT kStoreFull = HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_QUOTA);

// Throws kStoreFull when a store refused what it was given (`taken` false); ResultOf answers it
// without a logbook entry, as the store logs its refusals itself.
inline void RefuseUnless(bool taken)
{
    if (!taken)
        throw _com_error(kStoreFull);
}

// Logs the failure that ends `program` and tells it on standard error; the program's exit code.
inline int EndWithFailure(const char* program, const XWrappedQNException& exception)
{
    XQNError::WriteErrorToLogBook(exception);
    std::fprintf(stderr, "%s: %s\n", program, exception.Get().Message().ToUtf8().c_str());
    return 1;
}

// A daemon takes every descriptor its hard limit allows: each peer holds one, and a flood of
// them must not starve the daemon's own files.
inline void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Blocks SIGINT and SIGTERM in every thread started after this call; WaitForStop takes them.
inline sigset_t BlockStopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

inline int WaitForStop(const sigset_t& signals)
{
    int signal = 0;
    sigwait(&signals, &signal);
    return signal;
}

// Waits for one of `signals` at most `seconds` on the system's scaled clock; 0 when none came.
inline int WaitForSignal(const sigset_t& signals, unsigned seconds)
{
    constexpr DWORD kMillisecondsPerSecond = 1000;
    const auto wait = platform::ScaledDuration(seconds * kMillisecondsPerSecond);
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(wait);
    const timespec timeout{static_cast<time_t>(whole.count()), static_cast<long>((wait - whole).count())};
    const int signal = sigtimedwait(&signals, nullptr, &timeout);
    return signal > 0 ? signal : 0;
}

// The installation's settings; a missing level setting serves with level 2 (connect), the
// safe choice.
inline transport::ServerSecurity InstallationSecurity()
{
    DWORD level = RPC_C_AUTHN_LEVEL_CONNECT;
    if (FAILED(QNDCOMSecurity::GetAuthenticationLevel(&level)))
        level = RPC_C_AUTHN_LEVEL_CONNECT;
    DWORD service = RPC_C_AUTHN_WINNT;
    QNDCOMSecurity::GetAuthenticationService(&service);
    return {level, service};
}

}  // namespace hosts
