#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/Clock.h"
#include "platform/Event.h"

namespace {

using Clock = std::chrono::steady_clock;

// The tests run with QN_TIME_SCALE=0.01.
TEST(Clock, ScalesEveryWaitByTheEnvironmentsTimeScale)
{
    EXPECT_DOUBLE_EQ(platform::TimeScale(), 0.01);
    EXPECT_EQ(platform::ScaledDuration(10000), std::chrono::milliseconds(100));
    const auto start = Clock::now();
    Sleep(3000);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
}

TEST(Event, AutoResetEventReleasesOneWaitAndResets)
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST(Event, ManualResetEventStaysSetUntilReset)
{
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ResetEvent(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST(Event, WaitEndsWhenAnotherThreadSets)
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread setter([event] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(event);
}

TEST(Event, NullHandleFails)
{
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(nullptr));
}

}  // namespace
