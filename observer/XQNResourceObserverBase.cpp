#include "observer/XQNResourceObserverBase.h"

#include "module/QNResourceAgentModule.h"
#include "observer/XResourceObserverInstance.h"

bool XQNResourceObserverBase::SetResourceData(const tagQNResourceInformation& info)
{
    XQNResourceAgentModule::InstallExceptionTranslator();
    return XResourceObserverInstance::Instance().SetResourceData(info);
}

bool XQNResourceObserverBase::SetResourceData(const tagQNResourceInformation& info, const tagQNProcessCeilings& ceilings)
{
    XQNResourceAgentModule::InstallExceptionTranslator();
    return XResourceObserverInstance::Instance().SetResourceData(info, ceilings);
}

void XQNResourceObserverBase::RaiseProcessResourceEmergencyEvent(const tagQNProcessResourceEmergencyEvent& event)
{
    XQNResourceAgentModule::InstallExceptionTranslator();
    XResourceObserverInstance::Instance().RaiseProcessResourceEmergencyEvent(event);
}

void XQNResourceObserverBase::NotifyProcessResourceAlert(const tagQNProcessResourceAlert& alert)
{
    XQNResourceAgentModule::InstallExceptionTranslator();
    XResourceObserverInstance::Instance().NotifyProcessResourceAlert(alert);
}

void XQNResourceObserverBase::RaiseGlobalEmergencyEvent(const tagQNProcessServerEmergencyEvent& event)
{
    XQNResourceAgentModule::InstallExceptionTranslator();
    XResourceObserverInstance::Instance().RaiseGlobalEmergencyEvent(event);
}
