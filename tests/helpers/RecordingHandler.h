// A process emergency handler that records its calls and answers with a fixed result.
#pragma once

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

#include "interfaces/QNResourceObserverInterfaces.h"

namespace qntest {

// Lives on the test's side: the registry's references keep nothing alive. It can be made to throw
// or to block until `block` is ready.
class RecordingHandler : public IQNOPXServerEmergencyHandler {
public:
    // Calls are recorded as "NAME:CODE" in `calls`, which several handlers may share.
    RecordingHandler(std::vector<std::string>& calls, std::string name, HRESULT answer) : m_calls(calls), m_name(std::move(name)), m_answer(answer) {}

    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++references; }
    ULONG Release() override { return --references; }
    HRESULT GetHandlerInfo(BSTR*) override { return E_FAIL; }
    HRESULT HandleServerEmergency(LONG code) override
    {
        m_calls.push_back(m_name + ":" + std::to_string(code));
        ++callCount;
        if (throws)
            throw std::runtime_error("handler broke");
        if (block.valid())
            block.wait();
        return m_answer;
    }

    std::atomic<ULONG> references{0};
    std::atomic<int> callCount{0};
    std::atomic<bool> throws{false};
    std::shared_future<void> block;

private:
    std::vector<std::string>& m_calls;
    std::string m_name;
    HRESULT m_answer;
};

}  // namespace qntest
