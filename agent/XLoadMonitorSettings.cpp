#include "agent/XLoadMonitorSettings.h"

#include "Cominc64/XSingleton.h"

namespace {

std::atomic<XLoadMonitorSettings*> g_instance{nullptr};

}  // namespace

XLoadMonitorSettings& XLoadMonitorSettings::Instance()
{
    return cominc::PublishedInstance(g_instance, [] { return new XLoadMonitorSettings; },
                                     [](XLoadMonitorSettings* settings) { delete settings; });
}

void XLoadMonitorSettings::Destroy()
{
    cominc::TakeInstance(g_instance, [](XLoadMonitorSettings* settings) { delete settings; });
}

XLoadMonitorSettings& XLoadMonitorSettings::operator=(const XLoadMonitorSettings& other)
{
    m_intervalMs = other.m_intervalMs.load();
    return *this;
}

void XLoadMonitorSettings::SetMonitorIntervalSec(LONG seconds)
{
    // Unsigned arithmetic wraps the product as 32-bit Windows code does, without overflow.
    m_intervalMs.exchange(static_cast<LONG>(static_cast<ULONG>(seconds) * 1000U));
}

LONG XLoadMonitorSettings::GetMonitorIntervalMilliSec() const
{
    return m_intervalMs.load();
}
