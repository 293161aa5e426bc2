// Lets tests make one of the figure reads fail, as the real files can't be broken on purpose.
#pragma once

namespace platform {

enum class SystemCall {
    GetProcessMemoryInfo,
    GetProcessHandleCount,
    GetProcessThreadCount,
    GetProcessTimes,
    GlobalMemoryStatusEx,
    GetSystemTimes,
    GetPerformanceInfo,
    GetModuleFileName,
    GetComputerName,
};

// The next call of `call` fails with errno `error`.
void FailNextSystemCall(SystemCall call, int error);
// True, with errno set, when a failure of `call` was requested; used by the reads themselves.
bool ConsumeInjectedFault(SystemCall call);

}  // namespace platform
