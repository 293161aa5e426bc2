#include "emergency/XEmergencyHandlerHelper.h"

#include <initializer_list>
#include <string>

#include "emergency/EmergencyTexts.h"
#include "emergency/XResourceEmergencyHandlerInstance.h"

namespace {

constexpr std::u16string_view kSeparator = u" / ";
constexpr std::u16string_view kJoint = u" in ";

// Collects texts, with one separator in front of every text but the first.
class TextList {
public:
    void Add(std::initializer_list<std::u16string_view> pieces)
    {
        if (!m_text.empty())
            m_text += kSeparator;
        for (auto piece : pieces)
            m_text += piece;
    }
    XQNComBSTR Result() const { return XQNComBSTR(std::u16string_view(m_text)); }

private:
    std::u16string m_text;
};

bool Has(LONG state, LONG bit) { return (state & bit) != 0; }

// The low-memory, threads, handles and critical texts of one master-server process.
void AddMasterServerTexts(TextList& texts, LONG state, const XQNComBSTR& lowMemory, const XQNComBSTR& process,
                          const XQNComBSTR& criticalException)
{
    const auto& t = emergency::EmergencyTexts::Get();
    if (Has(state, LowMemory))
        texts.Add({lowMemory});
    if (Has(state, TooManyThreads))
        texts.Add({t.tooManyThreads, kJoint, process});
    if (Has(state, TooManyHandles))
        texts.Add({t.tooManyHandles, kJoint, process});
    if (Has(state, CriticalServerException | CriticalServerException2 | CriticalServerAbortException))
        texts.Add({criticalException});
}

}  // namespace

XQNComBSTR XEmergencyHandlerHelper::BuildEmergencyStateMsg(LONG state)
{
    const auto& t = emergency::EmergencyTexts::Get();
    TextList texts;
    if (!Has(state, InUpdateMngProcess | InLockMngProcess)) {
        if (Has(state, LowMemory))
            texts.Add({t.lowMemory});
        if (Has(state, TooManyThreads))
            texts.Add({t.tooManyThreads, kJoint, t.inServerProcess});
        if (Has(state, TooManyHandles))
            texts.Add({t.tooManyHandles, kJoint, t.inServerProcess});
        const std::pair<LONG, const XQNComBSTR&> singleTexts[] = {
            {CriticalServerException, t.criticalServerException},
            {CriticalServerException2, t.criticalServerException},
            {CriticalDatabaseException, t.criticalDatabaseException},
            {CriticalDatabaseAbortException, t.criticalDatabaseAbortException},
            {UpdateManagerConnectionLost, t.updateManagerConnectionLost},
            {LockManagerConnectionLost, t.lockManagerConnectionLost},
            {LoggerFailure, t.loggerFailure},
            {LoggerConnectionLost, t.loggerConnectionLost},
            {CriticalServerAbortException, t.criticalServerAbortException},
        };
        for (const auto& [bit, text] : singleTexts)
            if (Has(state, bit))
                texts.Add({text});
        return texts.Result();
    }
    if (Has(state, InUpdateMngProcess))
        AddMasterServerTexts(texts, state, t.updateMngLowMemory, t.inUpdateMngProcess, t.updateMngCriticalException);
    if (Has(state, InLockMngProcess))
        AddMasterServerTexts(texts, state, t.lockMngLowMemory, t.inLockMngProcess, t.lockMngCriticalException);
    return texts.Result();
}

XQNComBSTR XEmergencyHandlerHelper::BuildEmergencyCauseMsg(QNServerEmergency code)
{
    XQNComBSTR text = BuildEmergencyStateMsg(code);
    if (text.IsEmpty())
        text.Format(u"<-generic emergency (code: %d)->", static_cast<LONG>(code));
    return text;
}

void XEmergencyHandlerHelper::RegisterRevokeCOMInstancesCallback(void (*callback)())
{
    XResourceEmergencyHandlerInstance::Instance().SetRevokeCallback(callback);
}

void (*XEmergencyHandlerHelper::GetRevokeCOMInstancesCallback())()
{
    return XResourceEmergencyHandlerInstance::Instance().GetRevokeCallback();
}

XQNComBSTR XResourceHandlerHelper::BuildResourceAlertStateMsg(LONG state)
{
    static constexpr std::pair<LONG, std::u16string_view> kAlertTexts[] = {
        {TooManyOPXServersInPool, u"too many OPXServer processes in pool"},
        {TooManyMachineProcesses, u"too many processes on the machine"},
        {TooManyMachineHandles, u"too many handles allocated on the machine"},
        {LowPhysicalMemory, u"insufficient physical machine memory"},
        {LowVirtualMemory, u"insufficient virtual machine memory"},
        {HighCpuUtilization, u"machine CPU utilization too high"},
    };
    TextList texts;
    for (const auto& [bit, text] : kAlertTexts)
        if (Has(state, bit))
            texts.Add({text});
    return texts.Result();
}
