#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/Clock.h"
#include "platform/Event.h"

namespace {

// The tests run with QN_TIME_SCALE=0.01.
TEST(Clock, ScalesEveryWaitByTheEnvironmentsTimeScale)
{
    EXPECT_DOUBLE_EQ(platform::TimeScale(), 0.01);
    EXPECT_EQ(platform::ScaledDuration(10000), std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    Sleep(3000);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
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
    std::thread setter([automatic] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SetEvent(automatic);
    });
    EXPECT_EQ(WaitForSingleObject(automatic, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(automatic);
    CloseHandle(manual);
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(nullptr));
}

}  // namespace
