#include "emergency/XResourceAlertAdditions.h"

#include <string>
#include <string_view>
#include <utility>

#include "emergency/XEmergencyHandlerHelper.h"

XQNComBSTR XResourceAlertAdditions::BuildAlertStateMsg(LONG state)
{
    static constexpr std::pair<LONG, std::u16string_view> kAdditionTexts[] = {
        {HighPressure, u"machine pressure stall too high"},
    };
    std::u16string text(XResourceHandlerHelper::BuildResourceAlertStateMsg(state).View());
    for (const auto& [bit, addition] : kAdditionTexts)
        if ((state & bit) != 0)
            text.append(text.empty() ? u"" : u" / ").append(addition);
    return XQNComBSTR(std::u16string_view(text));
}
