#include "platform/LogThrottle.h"

namespace platform {

namespace {

constexpr auto kWindow = std::chrono::minutes(1);
// Sources are peers, whose addresses an attacker chooses: past this many, the quiet ones go.
constexpr std::size_t kMaxSources = 4096;

}  // namespace

bool LogThrottle::Admit(const std::string& source, unsigned long long& held, std::chrono::steady_clock::time_point now)
{
    std::lock_guard lock(m_mutex);
    if (m_sources.size() >= kMaxSources)
        std::erase_if(m_sources, [now](const auto& entry) { return now - entry.second.written >= kWindow; });
    if (m_sources.size() >= kMaxSources)
        m_sources.clear();
    const auto [found, added] = m_sources.try_emplace(source);
    Source& entry = found->second;
    if (!added && now - entry.written < kWindow) {
        ++entry.held;
        return false;
    }
    held = entry.held;
    entry = {now, 0};
    return true;
}

std::string HeldBackNote(unsigned long long held)
{
    return held == 0 ? std::string() : " (and " + std::to_string(held) + " more since the last entry)";
}

}  // namespace platform
