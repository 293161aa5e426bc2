// Shell commands a test runs to set up what it needs: users, namespaces, certificates.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace qntest {

// Runs `command` through the shell; a failure carries its exit status and output.
inline testing::AssertionResult Run(const std::string& command)
{
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return testing::AssertionFailure() << "can't run " << command;
    std::string output;
    char buffer[4096];
    for (std::size_t read; (read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, read);
    const int status = ::pclose(pipe);
    if (status == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << command << ": status " << status << "\n" << output;
}

}  // namespace qntest
