#include "support/QNError64/LogbookOutput.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Clock.h"

namespace qnerror {

namespace {

constexpr std::size_t kLogFileBytes = 10 * 1024 * 1024;
constexpr std::size_t kLogFiles = 5;
constexpr DWORD kFileRetryMs = 60000;
constexpr const char* kPattern = "%Y-%m-%d %H:%M:%S.%e %v";
constexpr const char* kLoggerName = "QNError64";

using Clock = std::chrono::steady_clock;

class Output {
public:
    Output() { m_stderr.set_pattern(kPattern); }

    void Open()
    {
        std::lock_guard lock(m_mutex);
        OpenLocked();
    }

    void Write(spdlog::level::level_enum level, std::string_view line)
    {
        std::lock_guard lock(m_mutex);
        if (!m_opened)
            OpenLocked();
        const spdlog::details::log_msg entry(kLoggerName, level, spdlog::string_view_t(line.data(), line.size()));
        if (m_file == nullptr && !m_path.empty() && Clock::now() >= m_nextTry)
            TryFile();
        if (m_file != nullptr) {
            try {
                m_file->log(entry);
                m_file->flush();
                if (m_failing)
                    Say("QNError64: the logbook file " + m_path + " is written again");
                m_failing = false;
                return;
            } catch (const std::exception& failure) {
                GiveUpFile(failure.what());
            }
        }
        m_stderr.log(entry);
    }

private:
    void OpenLocked()
    {
        m_opened = true;
        const char* path = std::getenv("QN_LOGBOOK");
        const std::string wanted = path == nullptr ? std::string() : path;
        if (wanted == m_path && (m_file != nullptr || wanted.empty()))
            return;
        m_path = wanted;
        m_file.reset();
        m_failing = false;
        if (!m_path.empty())
            TryFile();
    }

    void TryFile()
    {
        try {
            auto file = std::make_unique<spdlog::sinks::rotating_file_sink_st>(m_path, kLogFileBytes, kLogFiles);
            file->set_pattern(kPattern);
            m_file = std::move(file);
        } catch (const std::exception& failure) {
            GiveUpFile(failure.what());
        }
    }

    // The file is closed and tried again later; the reason is told once per episode.
    void GiveUpFile(const std::string& reason)
    {
        m_file.reset();
        m_nextTry = Clock::now() + std::chrono::duration_cast<Clock::duration>(platform::ScaledDuration(kFileRetryMs));
        if (!m_failing)
            Say("QNError64: can't write the logbook file " + m_path + " (" + reason +
                ") - entries go to standard error, the file is tried again every minute");
        m_failing = true;
    }

    void Say(const std::string& text) { m_stderr.log(spdlog::details::log_msg(kLoggerName, spdlog::level::warn, text)); }

    std::mutex m_mutex;
    bool m_opened = false;
    std::string m_path;
    std::unique_ptr<spdlog::sinks::rotating_file_sink_st> m_file;
    spdlog::sinks::stderr_sink_st m_stderr;
    bool m_failing = false;
    Clock::time_point m_nextTry{};
};

Output& TheOutput()
{
    // Never destroyed: threads that outlive main's return may still write.
    static Output* output = new Output;
    return *output;
}

// What is left when even standard error can't be had: no memory for the line.
void Lost() noexcept
{
    constexpr char kLost[] = "QNError64: out of memory - a logbook entry was lost\n";
    (void)!::write(STDERR_FILENO, kLost, sizeof kLost - 1);
}

}  // namespace

void OpenLogbook() noexcept
{
    try {
        TheOutput().Open();
    } catch (...) {
        Lost();
    }
}

void WriteLine(spdlog::level::level_enum level, std::string_view line) noexcept
{
    try {
        TheOutput().Write(level, line);
    } catch (...) {
        Lost();
    }
}

}  // namespace qnerror
