# Checks that the library exports its public classes and nothing internal.
execute_process(COMMAND nm -D -C --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
foreach(expected IN ITEMS "XLoadMonitor::MeasureProcessLoadData" "XLoadMonitor::ZeroData" "XLoadMonitor::GetMachineName"
                          "XEmergencyHandlerHelper::BuildEmergencyStateMsg" "XResourceHandlerHelper::BuildResourceAlertStateMsg"
                          "XResourceEmergencyHandler::RegisterProcessEmergencyHandler"
                          "XProcessAgent::Instance" "XLoadMonitor::Start" "XLoadMonitor::IsRunnning"
                          "XLoadMonitorSettings::SetMonitorIntervalSec" "XProcessResourceObserverInstance::CheckProcessResources"
                          "XProcessResourceObserverInstance::UpdateDatabaseAccessStatistic" "XProcessAgent::RaiseGlobalEmergencyEvent" "QNDCOMSecurity::GetAuthenticationLevel"
                          "transport::XComServer::Start" "XResourceObserverInstance::SetResourceData" "XQNResourceObserverBase::SetResourceData")
  string(FIND "${symbols}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "not exported: ${expected}")
  endif()
endforeach()
foreach(internal IN ITEMS "XResourceEmergencyHandlerInstance" "XBasicRefCountCritSection" "cominc::" "platform::" "agent::"
                          "SysAllocString" "GetProcessMemoryInfo" "ProcFile" "XThreadSync"
                          "transport::ToWire" "transport::FromWire" "transport::Invoke" "XLoadMonitorTask" "XLoadMonitorAlloc" "CoCreateInstanceEx" "IsRpcFailure" "qn::")
  string(FIND "${symbols}" "${internal}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "internal symbol exported: ${internal}")
  endif()
endforeach()
message(STATUS "exports: only the public classes")
