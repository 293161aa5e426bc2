#include "agent/XLoadMonitor.h"

#include <new>

#include "agent/XLoadMonitorSettings.h"
#include "agent/XLoadMonitorTask.h"
#include "module/QNResourceAgentModule.h"

XLoadMonitor::XLoadMonitor() : m_alloc(new (std::nothrow) XLoadMonitorAlloc)
{
    static const XQNComBSTR function(u"XLoadMonitor::XLoadMonitor");
    constexpr int kLineNoAlloc = 193;
    XQNError::CheckPtr_ThrowExcep(XQNResourceAgentModule::Location("XLoadMonitor", kLineNoAlloc, function), m_alloc, u"");
}

XLoadMonitor::~XLoadMonitor()
{
    delete m_alloc;
}

void XLoadMonitor::Start()
{
    // The logbook's file is taken now, while the process has descriptors: its first entry may
    // well be about running out of them.
    XQNLogbook::Open();
    m_alloc->Start();
}

void XLoadMonitor::Stop()
{
    m_alloc->Stop();
}

bool XLoadMonitor::IsRunnning() const
{
    return m_alloc->IsRunning();
}

XLoadMonitorAlloc::~XLoadMonitorAlloc()
{
    auto task = m_task.GetWriteProxyPtr();
    if (!task.IsValid())
        return;
    task->StopWatch();
    task->Stop();
    m_task.DeletePtr();
}

void XLoadMonitorAlloc::Start()
{
    const LONG interval = XLoadMonitorSettings::Instance().GetMonitorIntervalMilliSec();
    if (interval <= 0)
        return;
    auto task = m_task.GetWriteProxyPtr();
    if (task.IsValid())
        return;
    task.SetPtr(new XLoadMonitorTask);
    task->SetMonitorInterval(interval);
    task->StartWatchAndLoop(this);
}

void XLoadMonitorAlloc::Stop()
{
    auto task = m_task.GetReadProxyPtr();
    if (!task.IsValid())
        return;
    task->StopWatch();
    task->WakeAndStop();
}

bool XLoadMonitorAlloc::IsRunning() const
{
    auto task = m_task.GetConstReadProxyPtr();
    return task.IsValid() && task->GetStatus() == XLoadMonitorTask::Running;
}
