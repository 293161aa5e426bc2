// What the library raised and logged, as tests check it.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "interfaces/QNError64.h"

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

}  // namespace qntest
