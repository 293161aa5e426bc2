#include "inc/QNDCOMSecurity.h"

#include <algorithm>
#include <vector>

#include "module/QNResourceAgentModule.h"
#include "platform/Registry.h"
#include "platform/transport/Activation.h"

namespace {

constexpr const char* kFile = "inc/qndcomsecurity";
constexpr HRESULT kRegistryReadFailed = static_cast<HRESULT>(0x8004085B);

// Reads one value of SOFTWARE\KORVEL and converts it to `type`; 0 on success, otherwise a registry
// error number or a failed HRESULT.
HRESULT ReadValue(const char16_t* name, USHORT type, VARIANT& value)
{
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\KORVEL", 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (result != ERROR_SUCCESS)
        return result;
    DWORD size = sizeof(DWORD);
    result = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &size);
    if (result != ERROR_SUCCESS && result != static_cast<LONG>(ERROR_MORE_DATA)) {
        RegCloseKey(key);
        return result;
    }
    std::vector<char16_t> buffer(size / sizeof(char16_t) + 1, u'\0');
    result = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        return result;
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(buffer.data());
    const HRESULT converted = VariantChangeType(&value, &text, 0, type);
    VariantClear(&text);
    return converted;
}

HRESULT ReportFailure(HRESULT result, int line, const XQNComBSTR& function, std::u16string_view message)
{
    const HRESULT failure = result < 0 ? result : kRegistryReadFailed;
    return XQNError::SetComAppError(XQNResourceAgentModule::Location(kFile, line, function), failure, message, u"");
}

}  // namespace

HRESULT QNDCOMSecurity::GetAuthenticationLevel(DWORD* level)
{
    static const XQNComBSTR function(u"QNDCOMSecurity::GetAuthenticationLevel");
    constexpr int kLineDisable = 104;
    constexpr int kLinePrivacy = 122;
    *level = RPC_C_AUTHN_LEVEL_CONNECT;
    VARIANT value;
    VariantInit(&value);
    HRESULT result = ReadValue(u"DisableAuthentication", VT_INT, value);
    if (result != 0)
        return ReportFailure(result, kLineDisable, function, u"reading registry SOFTWARE\\KORVEL\\DisableAuthentication failed");
    if (value.intVal != 0) {
        *level = RPC_C_AUTHN_LEVEL_NONE;
        return S_OK;
    }
    result = ReadValue(u"EnablePacketPrivacy", VT_INT, value);
    if (result != 0)
        return ReportFailure(result, kLinePrivacy, function, u"reading registry SOFTWARE\\KORVEL\\EnablePacketPrivacy failed");
    if (value.intVal != 0)
        *level = RPC_C_AUTHN_LEVEL_PKT_PRIVACY;
    return S_OK;
}

HRESULT QNDCOMSecurity::GetAuthenticationService(DWORD* service)
{
    static const XQNComBSTR function(u"QNDCOMSecurity::GetAuthenticationService");
    constexpr int kLineService = 148;
    *service = RPC_C_AUTHN_WINNT;
    VARIANT value;
    VariantInit(&value);
    const HRESULT result = ReadValue(u"DCOMAuthenticationService", VT_BSTR, value);
    if (result != 0)
        return ReportFailure(result, kLineService, function, u"reading registry value SOFTWARE\\KORVEL\\DCOMAuthenticationService failed");
    XQNComBSTR name(value.bstrVal);
    VariantClear(&value);
    name.ToUpper();
    if (name == u"NONE")
        *service = RPC_C_AUTHN_NONE;
    return S_OK;
}

COAUTHINFO qndcom::ConnectionAuthentication(const QNErrorLocation& levelFailure, const QNErrorLocation& serviceResult)
{
    DWORD level = RPC_C_AUTHN_LEVEL_CONNECT;
    HRESULT result = QNDCOMSecurity::GetAuthenticationLevel(&level);
    if (FAILED(result))
        XQNExceptionFactory::DoThrowException(QNExceptionType_Application, levelFailure, result, QNSeverity_Error, u"QNDCOMSec::GetAuthenticationLevel failed",
                                              u"");
    DWORD service = RPC_C_AUTHN_WINNT;
    result = QNDCOMSecurity::GetAuthenticationService(&service);
    XQNError::WriteLineToErrorLogBook(serviceResult, result, QNSeverity_Trace, u"QNDCOMSec::GetAuthenticationService failed", u"");
    return {service, RPC_C_AUTHZ_NONE, nullptr, level, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE};
}
