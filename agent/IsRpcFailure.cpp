#include "agent/IsRpcFailure.h"

#include <algorithm>

namespace agent {

bool IsRpcFailure(HRESULT result) noexcept
{
    constexpr DWORD kFacilityRpc = 1;
    constexpr DWORD kFacilityItf = 4;
    if (result >= 0 || result == E_INVALIDARG)
        return false;
    const DWORD facility = (static_cast<DWORD>(result) >> 16) & 0x1FFF;
    if (facility == kFacilityRpc)
        return true;
    if (facility == kFacilityItf)
        return false;
    const DWORD code = static_cast<DWORD>(result) & 0xFFFF;
    static constexpr DWORD kCodes[] = {5, 14, 87, 122, 164, 997, 1130, 1338, 1722, 1726, 1727, 1898, 1900};
    const auto within = [code](DWORD first, DWORD last) { return code >= first && code <= last; };
    return std::find(std::begin(kCodes), std::end(kCodes), code) != std::end(kCodes) || within(1700, 1791) || within(1817, 1832) ||
           within(1913, 1918);
}

}  // namespace agent
