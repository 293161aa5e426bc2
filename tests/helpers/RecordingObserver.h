// The recording observer process as a test sees it: what it received, call by call, with the time
// the test read each call.
#pragma once

#include <google/protobuf/text_format.h>

#include <chrono>
#include <memory>
#include <string>

#include "interfaces/QNResourceObserver.pb.h"
#include "tests/helpers/ChildProcess.h"

namespace qntest {

struct ReceivedCall {
    std::string method;  // empty: the observer's output ended
    std::string body;    // the record in protobuf text form
    std::chrono::steady_clock::time_point at;

    template <typename Wire>
    Wire As() const
    {
        Wire wire;
        google::protobuf::TextFormat::ParseFromString(body, &wire);
        return wire;
    }
};

class RecordingObserver {
public:
    // A resource observer on the socket `path` answering every call with `answer`.
    explicit RecordingObserver(const std::string& path, const std::string& answer = "0")
        : m_process(std::make_unique<ChildProcess>(
              std::vector<std::string>{QN_RECORDING_OBSERVER, "--class", "resource", "--endpoint", path, "--answer", answer}))
    {
        m_process->ReadLineStartingWith("ready");
    }

    ReceivedCall Next()
    {
        const std::string line = m_process->ReadLine();
        const auto space = line.find(' ');
        return {line.substr(0, space), space == std::string::npos ? std::string() : line.substr(space + 1), std::chrono::steady_clock::now()};
    }
    // The next call of `method`, skipping others; an empty method when the output ends first.
    ReceivedCall Next(const std::string& method)
    {
        for (ReceivedCall call = Next();; call = Next())
            if (call.method == method || call.method.empty())
                return call;
    }
    // Ends the observer; the calls it received and nobody read are returned.
    std::vector<ReceivedCall> Finish()
    {
        m_process->Finish();
        std::vector<ReceivedCall> rest;
        for (ReceivedCall call = Next(); !call.method.empty(); call = Next())
            rest.push_back(call);
        return rest;
    }
    // Ends it at once, as a crash would.
    void Kill() { m_process.reset(); }

private:
    std::unique_ptr<ChildProcess> m_process;
};

}  // namespace qntest
