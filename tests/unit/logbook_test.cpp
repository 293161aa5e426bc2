// The logbook's entries and the exceptions of the server's error library.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include "interfaces/QNError64.h"
#include "platform/LogThrottle.h"
#include "platform/Thread.h"
#include "tests/helpers/Await.h"
#include "tests/helpers/Errors.h"

namespace {

const QNErrorLocation kHere{"logbook_test", 42, u"QNResourceAgent", u"Test::Function"};

TEST(Logbook, EntriesOfEveryThreadAreCapturedWithTheirPartsAndApiErrorsWithTheirLastError)
{
    auto capture = std::make_unique<XQNLogbookCapture>();
    testing::internal::CaptureStderr();  // where the logbook goes without a file
    std::thread([] { XQNError::WriteTraceToErrorLogBook(kHere, QNSeverity_Trace, u"from a worker", u"extra"); }).join();
    XQNError::WriteErrorToLogBook(kHere, static_cast<HRESULT>(0x800706BA), QNSeverity_CallFailure, u"call failed");
    XQNError::WriteAPIErrorToLogBook(kHere, QNSeverity_CallFailure, u"WIN API call X failed", 5);
    XQNError::WriteAPIErrorToLogBook(kHere, QNSeverity_CallFailure, u"WIN API call Y failed", 0);
    EXPECT_EQ(XQNError::SetComAppError(kHere, static_cast<HRESULT>(0x8004085B), u"reading failed", u""), static_cast<HRESULT>(0x8004085B));
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_NE(written.find("logbook_test:42 Test::Function hr=0x800706BA \"call failed\" \"\"\n"), std::string::npos) << written;
    EXPECT_NE(written.find(" hr=0x80070005 errno=5 \"WIN API call X failed\" \"\"\n"), std::string::npos) << "only API errors show errno";
    const auto entries = capture->Entries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].extraText, "extra");
    EXPECT_NE(entries[0].threadId, GetCurrentThreadId());
    const XQNLogEntry& e = entries[1];
    EXPECT_EQ(std::tuple(e.kind, e.severity, e.result, e.file, e.line, e.component, e.function, e.message, e.processId, e.threadId),
              std::tuple(XQNLogEntry::Kind::Error, 5, static_cast<HRESULT>(0x800706BA), std::string("logbook_test"), 42, std::string("QNResourceAgent"),
                         std::string("Test::Function"), std::string("call failed"), GetCurrentProcessId(), GetCurrentThreadId()));
    EXPECT_EQ(std::tuple(entries[2].kind, entries[2].lastError, entries[2].result), std::tuple(XQNLogEntry::Kind::ApiError, 5u, static_cast<HRESULT>(0x80070005)));
    EXPECT_EQ(entries[3].result, E_FAIL) << "no last error";
    EXPECT_EQ(entries[4].message, "reading failed");
    capture.reset();
    XQNLogbookCapture later;
    EXPECT_TRUE(later.Entries().empty()) << "a capture sees only what is written while it exists";
}

// The logbook's file, named by QN_LOGBOOK; standard error again when the test ends.
class LogbookFile : public testing::Test {
protected:
    void TearDown() override
    {
        ::unsetenv("QN_LOGBOOK");
        XQNLogbook::Open();
        std::filesystem::remove_all(m_folder);
    }

    // Opens `path` as the logbook unless it is empty, and writes `text`; what went to standard
    // error meanwhile.
    static std::string Write(std::u16string_view text, const std::string& path = {})
    {
        testing::internal::CaptureStderr();
        if (!path.empty()) {
            ::setenv("QN_LOGBOOK", path.c_str(), 1);
            XQNLogbook::Open();
        }
        XQNError::WriteTraceToErrorLogBook(kHere, QNSeverity_Trace, text, u"");
        return testing::internal::GetCapturedStderr();
    }
    static std::string Written(const std::string& path)
    {
        std::ifstream file(path);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }

    const std::string m_folder = std::filesystem::temp_directory_path() / ("qn-logbook-" + std::to_string(::getpid()));
};

TEST_F(LogbookFile, AFileThatCantBeOpenedSendsEntriesToStandardErrorWithOneLineOfWhyAndIsTriedAgainLater)
{
    std::filesystem::create_directories(m_folder);
    std::ofstream(m_folder + "/blocker") << "";  // a folder that can't be made: a file is in its place
    const std::string path = m_folder + "/blocker/qn.log";
    std::string said = Write(u"first", path) + Write(u"second");
    EXPECT_NE(said.find("can't write the logbook file " + path + " (Failed opening file"), std::string::npos) << said;
    EXPECT_EQ(said.find("can't write"), said.rfind("can't write")) << "one line says why";
    EXPECT_NE(said.find("\"first\""), std::string::npos) << "the entries are on standard error";
    EXPECT_NE(said.find("\"second\""), std::string::npos);

    std::filesystem::remove(m_folder + "/blocker");
    std::filesystem::create_directories(m_folder + "/blocker");
    // Tried again a minute later (0.6 s at the tests' time scale).
    const std::string written = qntest::Await(
        [&] {
            said = Write(u"later");
            return Written(path);
        },
        [](const std::string& text) { return text.find("\"later\"") != std::string::npos; }, std::chrono::seconds(60), std::chrono::milliseconds(50));
    EXPECT_NE(written.find("\"later\""), std::string::npos) << "the file is written once it can be";
    EXPECT_NE(said.find("the logbook file " + path + " is written again"), std::string::npos) << said;
}

TEST_F(LogbookFile, RunningOutOfDescriptorsOrDiskSpaceCostsTheFileNotTheProcess)
{
    std::filesystem::create_directories(m_folder);
    rlimit own{};
    ::getrlimit(RLIMIT_NOFILE, &own);
    const int next = ::dup(0);
    ::close(next);
    const rlimit exhausted{static_cast<rlim_t>(next), own.rlim_max};  // no descriptor left
    testing::internal::CaptureStderr();  // takes its descriptor first
    ::setrlimit(RLIMIT_NOFILE, &exhausted);
    ::setenv("QN_LOGBOOK", (m_folder + "/qn.log").c_str(), 1);
    XQNLogbook::Open();
    ::setrlimit(RLIMIT_NOFILE, &own);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("Too many open files"), std::string::npos) << said;

    // /dev/full opens, and every write to it fails for want of space.
    const std::string full = Write(u"no space", "/dev/full");
    EXPECT_NE(full.find("can't write the logbook file /dev/full (Failed flush to file /dev/full: No space left on device)"), std::string::npos) << full;
    EXPECT_NE(full.find("\"no space\""), std::string::npos) << "the entry is on standard error";
}

TEST(Exceptions, TheFactoryThrowsAllPartsAndCopiesShareOneException)
{
    const XQNException e = qntest::Raised([] { XQNExceptionFactory::DoThrowException(QNExceptionType_Application, kHere, E_FAIL, QNSeverity_Error, u"message", u"extra"); });
    EXPECT_EQ(std::tuple(e.Type(), e.Result(), e.Severity(), e.Line(), e.Function(), e.Message().ToUtf8(), e.ExtraText().ToUtf8()),
              std::tuple(8, E_FAIL, 6, 42, "Test::Function", "message", "extra"));

    XWrappedQNException first = XQNExceptionFactory::DoCreateException(2, kHere, E_FAIL, 11, u"m", u"");
    XWrappedQNException second = first;
    second.GetWritable().SetLastHandlerIdent({"x", 1, u"QNResourceAgent", u"Handler::Catch"});
    EXPECT_EQ(first.Get().LastHandler(), "Handler::Catch");
    EXPECT_FALSE(XWrappedQNException().HasException());
}

TEST(Exceptions, NullPointersAndForeignExceptionsBecomeServerExceptions)
{
    int value = 0;
    EXPECT_NO_THROW(XQNError::CheckPtr_ThrowExcep(kHere, &value, u""));
    EXPECT_EQ(qntest::Raised([] { XQNError::CheckPtr_ThrowExcep(kHere, nullptr, u""); }).Result(), E_POINTER);
    const auto kept = XQNError::CreateExcep(kHere, std::runtime_error("boom"), QNSeverity_ForeignException, u"while testing");
    EXPECT_EQ(kept.Get().Severity(), 8);
    EXPECT_THAT(kept.Get().Message().ToUtf8(), testing::AllOf(testing::HasSubstr("boom"), testing::HasSubstr("while testing")));
    EXPECT_EQ(XQNError::CreateExcep(kHere, _com_error(E_ACCESSDENIED), 3, u"").Get().Result(), E_ACCESSDENIED);
}

TEST(ErrorSeverity, RpcFailuresAreCallFailures)
{
    for (const auto& [result, severity] : {std::pair{S_OK, 1}, std::pair{static_cast<HRESULT>(0x800106BA), 5}, std::pair{E_OUTOFMEMORY, 8}, std::pair{E_INVALIDARG, 6}})
        EXPECT_EQ(XHRErrorcodeHandler::GetErrorSeverity(result), severity) << std::hex << result;
}

TEST(LogThrottle, HoldsBackASourcesRepeatsWithinItsMinuteAndPastFourThousandSourcesStartsAfresh)
{
    platform::LogThrottle throttle;
    unsigned long long held = 99;
    EXPECT_TRUE(throttle.Admit("peer", held));
    EXPECT_EQ(held, 0u);
    EXPECT_FALSE(throttle.Admit("peer", held));
    EXPECT_TRUE(throttle.Admit("other", held)) << "each source on its own";
    const auto later = std::chrono::steady_clock::now() + std::chrono::seconds(61);
    EXPECT_TRUE(throttle.Admit("peer", held, later)) << "once its minute passed";
    EXPECT_EQ(held, 1u) << "with the count of what it held back";
    EXPECT_FALSE(throttle.Admit("peer", held, later));
    for (int source = 2; source < 4095; ++source)
        throttle.Admit(std::to_string(source), held);
    EXPECT_FALSE(throttle.Admit("peer", held)) << "4095 sources are kept";
    EXPECT_TRUE(throttle.Admit("one more", held)) << "the 4096th";
    EXPECT_TRUE(throttle.Admit("peer", held)) << "a full table with none quiet for a minute starts afresh";
    EXPECT_EQ(platform::HeldBackNote(0), "");
    EXPECT_EQ(platform::HeldBackNote(2), " (and 2 more since the last entry)");
}

}  // namespace
