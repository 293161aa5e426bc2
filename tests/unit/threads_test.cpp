// The scaled clock, events, and tasks on threads of their own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

#include "Cominc64/XWakeableTask.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "tests/helpers/Errors.h"
#include "tests/helpers/Waiting.h"

namespace {

using namespace std::chrono_literals;

// The tests run with QN_TIME_SCALE=0.01.
TEST(Clock, ScalesEveryWaitByTheEnvironmentsTimeScale)
{
    EXPECT_DOUBLE_EQ(platform::TimeScale(), 0.01);
    EXPECT_EQ(platform::ScaledDuration(10000), std::chrono::milliseconds(100));
    // Scaled, 30 s is 300 ms; a sleep that ignored the scale would still be asleep at the end of
    // the second bound.
    const auto start = std::chrono::steady_clock::now();
    Sleep(30000);
    const auto slept = std::chrono::steady_clock::now() - start;
    EXPECT_GE(slept, std::chrono::milliseconds(300));
    EXPECT_LT(slept, std::chrono::seconds(30)) << "the time scale was applied";
}

TEST(Event, AnAutoResetEventReleasesOneWaitAManualOneStaysSetAndAWaitEndsWhenAnotherThreadSets)
{
    HANDLE automatic = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(SetEvent(automatic));
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 100), WAIT_TIMEOUT);
    HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ResetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    std::atomic<pid_t> waiter{qntest::ThreadId()};
    std::thread setter([automatic, &waiter] {
        qntest::WaitsOnALock(waiter);  // the wait below has begun
        SetEvent(automatic);
    });
    EXPECT_EQ(WaitForSingleObject(automatic, INFINITE), WAIT_OBJECT_0);
    setter.join();
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT) << "the wait ended by taking the set, not before it";
    CloseHandle(automatic);
    CloseHandle(manual);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(nullptr));
}

struct Owner {
    std::atomic<int> executions{0};
    std::atomic<int> passes{0};
    std::atomic<pid_t> worker{0};
};

// The library's tasks are wakeable ones: the worker sleeps on its own wake-up event between passes.
class WakingTask : public XWakeableTask<Owner> {
public:
    enum class Body { Loop, ReturnAtOnce, ThrowQN, ThrowStd, ThrowOther };

    explicit WakingTask(Body body, DWORD waitMs = 60000) : m_body(body), m_waitMs(waitMs) {}

    DWORD Execute(Owner* owner) override
    {
        ++owner->executions;
        owner->worker = qntest::ThreadId();
        switch (m_body) {
        case Body::ReturnAtOnce: return 7;
        case Body::ThrowQN: XQNExceptionFactory::DoThrowException(8, {"t", 1, u"QNResourceAgent", u"Body"}, E_FAIL, 6, u"body failed", u"");
        case Body::ThrowStd: throw std::runtime_error("std failure");
        case Body::ThrowOther: throw 42;
        case Body::Loop: break;
        }
        while (!IsStopRequested())
            if (!WaitForWakeUp(m_waitMs))
                ++owner->passes;
        return 0;
    }

private:
    Body m_body;
    DWORD m_waitMs;
};

TEST(ThreadedTask, RunsOnceOnOneThreadAndAStopWakesItsWait)
{
    Owner owner;
    // One hour of scaled waiting: a wait that ran out would count a pass.
    WakingTask task(WakingTask::Body::Loop, 3600 * 1000);
    task.Stop();
    EXPECT_EQ(task.GetStatus(), WakingTask::NotStarted) << "a stop before the start returns at once";
    task.Start(&owner);
    task.Start(&owner);
    EXPECT_EQ(task.GetStatus(), WakingTask::Running);
    EXPECT_TRUE(qntest::WaitsOnALock(owner.worker)) << "the worker waits for its wake-up";
    task.WakeAndStop();
    EXPECT_EQ(task.GetStatus(), WakingTask::Stopped);
    EXPECT_EQ(owner.passes, 0) << "woken, not timed out";
    task.Start(&owner);
    EXPECT_EQ(task.GetStatus(), WakingTask::Stopped) << "a task runs at most once";
    EXPECT_EQ(owner.executions, 1);
}

TEST(ThreadedTask, ABodyThatEndsOrThrowsLeavesTheTaskStoppedWithItsExceptionKept)
{
    // The line and text of the kept exception; line 0: none.
    const std::tuple<WakingTask::Body, int, const char*> bodies[] = {{WakingTask::Body::ReturnAtOnce, 0, ""},
                                                                     {WakingTask::Body::ThrowQN, 1, "body failed"},
                                                                     {WakingTask::Body::ThrowStd, 425, "std failure"},
                                                                     {WakingTask::Body::ThrowOther, 429, ""}};
    for (const auto& [body, line, says] : bodies) {
        Owner owner;
        WakingTask task(body);
        task.Start(&owner);
        task.Stop();
        task.Stop();  // a stopped task only waits for its termination
        EXPECT_EQ(task.GetStatus(), WakingTask::Stopped);
        const XWrappedQNException kept = task.GetTaskException();
        ASSERT_EQ(kept.HasException(), line != 0) << says;
        if (line != 0) {
            EXPECT_EQ(std::pair(kept.Get().Line(), kept.Get().Message().ToUtf8().find(says) != std::string::npos), std::pair(line, true)) << says;
        }
    }
}

TEST(ThreadSync, FiniteWaitsTimeOutOnTheScaledClockAndNullHandlesRaise)
{
    Owner owner;
    WakingTask task(WakingTask::Body::Loop, 1000);  // 10 ms at the tests' scale
    task.Start(&owner);
    EXPECT_GE(qntest::Await([&] { return owner.passes.load(); }, [](int passes) { return passes >= 3; }, 60s), 3) << "its waits ended by themselves";
    task.WakeAndStop();

    const XQNException waited = qntest::Raised([] { XThreadSync::WaitForEvent(nullptr, 0); });
    EXPECT_EQ(waited.Message().View(), u"wait handle is NULL");
    EXPECT_EQ(std::tuple(waited.Line(), waited.Severity(), waited.Type()), std::tuple(50, 8, 2));
    EXPECT_EQ(qntest::Raised([] { XThreadSync::SetEvent(nullptr); }).Line(), 164);
}

}  // namespace
