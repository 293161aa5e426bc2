#include "platform/Clock.h"

#include <cstdlib>
#include <thread>

namespace platform {

double TimeScale()
{
    static const double scale = [] {
        const char* text = std::getenv("QN_TIME_SCALE");
        if (text == nullptr)
            return 1.0;
        char* end = nullptr;
        const double value = std::strtod(text, &end);
        return (end != text && value > 0.0) ? value : 1.0;
    }();
    return scale;
}

std::chrono::nanoseconds ScaledDuration(DWORD milliseconds)
{
    return std::chrono::nanoseconds(static_cast<std::int64_t>(static_cast<double>(milliseconds) * 1e6 * TimeScale()));
}

}  // namespace platform

void Sleep(DWORD milliseconds)
{
    if (milliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(platform::ScaledDuration(milliseconds));
}
