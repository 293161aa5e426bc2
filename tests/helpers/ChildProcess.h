// A child process started by a test, with its standard input and output connected to the test and
// its standard error the test's, or appended to a file.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/helpers/Await.h"

extern char** environ;

namespace qntest {

// The text of the file at `path` (a child's logbook or standard error); empty when there is none.
inline std::string FileText(const std::string& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The text of the file at `path` once it holds `text`, or its last text after `limit`.
inline std::string AwaitFileSays(const std::string& path, const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(60))
{
    return Await([&] { return FileText(path); }, [&](const std::string& now) { return now.find(text) != std::string::npos; }, limit);
}

class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& arguments, const std::string& standardError = {})
    {
        // A child that ended before it was told to must not end the test with it.
        ::signal(SIGPIPE, SIG_IGN);
        int toChild[2], fromChild[2];
        // Close-on-exec, so that no other child holds this one's input open.
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        std::vector<char*> argv;
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        // fork and exec rather than posix_spawn: the child asks to be killed when the test ends,
        // however it ends, so that no daemon outlives a test that was killed.
        const pid_t parent = ::getpid();
        m_pid = ::fork();
        if (m_pid < 0)
            throw std::runtime_error("fork failed: " + arguments[0]);
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(127);
            ::dup2(toChild[0], STDIN_FILENO);
            ::dup2(fromChild[1], STDOUT_FILENO);
            if (!standardError.empty()) {
                const int file = ::open(standardError.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
                if (file < 0)
                    ::_exit(127);
                ::dup2(file, STDERR_FILENO);
            }
            ::execve(argv[0], argv.data(), environ);
            ::_exit(127);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        m_input = ::fdopen(toChild[1], "w");
        m_output = fromChild[0];
    }

    virtual ~ChildProcess()
    {
        if (m_input != nullptr)
            std::fclose(m_input);
        ::close(m_output);
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }

    // Whether the child has not ended yet; an ended one is left to Finish or Terminate to reap.
    bool Running() const
    {
        siginfo_t ended{};
        return m_pid > 0 && ::waitid(P_PID, static_cast<id_t>(m_pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == 0;
    }

    // The next line of the child's output without its newline; empty at the end of the output, or
    // with a failure once a child that stalled has written no whole line for `limit`.
    std::string ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(120))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (std::size_t newline; (newline = m_unread.find('\n')) == std::string::npos;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd output{m_output, POLLIN, 0};
            const int ready = left.count() <= 0 ? 0 : ::poll(&output, 1, static_cast<int>(left.count()));
            if (ready == 0) {
                ADD_FAILURE() << "no line from the child within " << limit.count() << " ms; it wrote: " << m_unread;
                return {};
            }
            char buffer[65536];
            const ssize_t got = ready < 0 ? -1 : ::read(m_output, buffer, sizeof buffer);
            if (got > 0)
                m_unread.append(buffer, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                return std::exchange(m_unread, {});  // the end of the output
        }
        const std::size_t newline = m_unread.find('\n');
        std::string line = m_unread.substr(0, newline);
        m_unread.erase(0, newline + 1);
        return line;
    }

    // The rest of the child's output, up to its end or an empty line.
    std::vector<std::string> ReadRest()
    {
        std::vector<std::string> lines;
        for (std::string line = ReadLine(); !line.empty(); line = ReadLine())
            lines.push_back(line);
        return lines;
    }

    // Reads lines until one starts with `prefix` and returns it; empty when the output ends first.
    std::string ReadLineStartingWith(const std::string& prefix)
    {
        for (std::string line = ReadLine(); !line.empty(); line = ReadLine())
            if (line.rfind(prefix, 0) == 0)
                return line;
        return {};
    }

    // Tells the child to finish (a line, then the end of its input) and returns its exit status.
    int Finish()
    {
        std::fputs("\n", m_input);
        std::fclose(m_input);
        m_input = nullptr;
        return Reap();
    }

    int Terminate()
    {
        ::kill(m_pid, SIGTERM);
        return Reap();
    }

private:
    // Waits for the child's end: its exit status, -1 when a signal ended it.
    int Reap()
    {
        int status = 0;
        ::waitpid(std::exchange(m_pid, -1), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t m_pid = -1;
    std::FILE* m_input = nullptr;
    int m_output = -1;
    std::string m_unread;  // read from the child, not yet returned as a line
};

// What `start` makes (a pointer to a daemon, say), with the programs it starts running at `scale`
// of real time instead of the tests' own.
template <typename Start>
auto AtTimeScale(const char* scale, Start start)
{
    const std::string tests = std::getenv("QN_TIME_SCALE") != nullptr ? std::getenv("QN_TIME_SCALE") : "1";
    ::setenv("QN_TIME_SCALE", scale, 1);
    auto started = start();
    ::setenv("QN_TIME_SCALE", tests.c_str(), 1);
    return started;
}

}  // namespace qntest
