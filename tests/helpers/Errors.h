// What the library raised and logged, as tests check it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "interfaces/QNError64.h"
#include "tests/helpers/Await.h"

namespace qntest {

// The exception that `call` raised; a failure, and an empty exception, when it raised none.
template <typename Call>
XQNException Raised(Call call)
{
    try {
        call();
    } catch (const XWrappedQNException& raised) {
        return raised.Get();
    }
    ADD_FAILURE() << "did not raise";
    return XQNException(0, {"", 0, u"", u""}, S_OK, 0, u"", u"");
}

// The one entry of `entries`; a failure, and an empty entry, when there are none or several.
inline XQNLogEntry Only(const std::vector<XQNLogEntry>& entries)
{
    if (entries.size() == 1)
        return entries[0];
    ADD_FAILURE() << entries.size() << " entries where one was expected";
    return {};
}

// The entries of `log` with `message`, once there is one or `limit` has passed.
inline std::vector<XQNLogEntry> AwaitLogged(const XQNLogbookCapture& log, std::string_view message, std::chrono::milliseconds limit = std::chrono::seconds(60))
{
    return Await([&] { return log.WithMessage(message); }, [](const auto& found) { return !found.empty(); }, limit);
}

// What the agent logs before its `attempt`th reconnect after a failed call of `call`
// ("ptrIResourceObserver->SetProcessResourceInfo", say).
inline std::string ReconnectMessage(std::string_view call, int attempt)
{
    return std::string(call) + " failed by RPC error - try to reconnect resource observer the " + std::to_string(attempt) + ". time";
}

}  // namespace qntest
