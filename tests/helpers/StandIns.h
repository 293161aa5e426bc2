// The processes at the other end of a link as a test sees them: a recording observer and what it
// received, call by call, and a probe client's answer.
#pragma once

#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "interfaces/QNResourceObserver.pb.h"
#include "tests/helpers/ChildProcess.h"
#include "tests/helpers/TestInstallation.h"

namespace qntest {

// What a probe client prints when its object was created and its call answered S_OK.
constexpr const char* kServed = "create 0x00000000 call 0x00000000";

// Whether `message` has every field that `text` (protobuf text form) sets, with those values.
inline testing::AssertionResult HasFields(const google::protobuf::Message& message, const std::string& text)
{
    std::unique_ptr<google::protobuf::Message> expected(message.New());
    if (!google::protobuf::TextFormat::ParseFromString(text, expected.get()))
        return testing::AssertionFailure() << "not a " << message.GetTypeName() << ": " << text;
    google::protobuf::util::MessageDifferencer differ;
    differ.set_scope(google::protobuf::util::MessageDifferencer::PARTIAL);
    std::string difference;
    differ.ReportDifferencesToString(&difference);
    if (differ.Compare(*expected, message))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << difference << "in " << message.ShortDebugString();
}

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

// Calls of `method` among `calls`.
inline long Count(const std::vector<ReceivedCall>& calls, const std::string& method)
{
    return std::count_if(calls.begin(), calls.end(), [&](const ReceivedCall& call) { return call.method == method; });
}

class RecordingObserver {
public:
    // A recording object of `kind` ("resource" or "system") with the recording observer's
    // `options`: the resource observer on the installation's socket, the system observer on a free
    // loopback port without TLS, which the installation's registry then names.
    explicit RecordingObserver(TestInstallation& installation, const std::string& kind = "resource", const std::vector<std::string>& options = {})
    {
        std::vector<std::string> arguments{QN_RECORDING_OBSERVER, "--class", kind};
        if (kind == "system")
            arguments.insert(arguments.end(), {"--endpoint", "127.0.0.1:0", "--level", "1"});
        else
            arguments.insert(arguments.end(), {"--endpoint", installation.SocketPath()});
        arguments.insert(arguments.end(), options.begin(), options.end());
        m_process = std::make_unique<ChildProcess>(arguments);
        const std::string ready = m_process->ReadLineStartingWith("ready ");
        EXPECT_FALSE(ready.empty()) << "the recording observer did not start";
        m_port = ready.empty() ? 0 : std::stoi(ready.substr(6));
        if (kind == "system")
            installation.Set("SystemResourceObserverPort", std::to_string(m_port));
    }

    int Port() const { return m_port; }

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

private:
    std::unique_ptr<ChildProcess> m_process;
    int m_port = 0;
};

// What a probe client prints after it created an observer object and sent it one alert: with the
// probe's `options`, run through `prefix` (an environment or another user) when one is given.
inline std::string Probe(const std::vector<std::string>& options = {}, std::vector<std::string> prefix = {})
{
    prefix.push_back(QN_PROBE_CLIENT);
    prefix.insert(prefix.end(), options.begin(), options.end());
    ChildProcess probe(prefix);
    return probe.ReadLine();
}

}  // namespace qntest
