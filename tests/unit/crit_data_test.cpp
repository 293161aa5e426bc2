#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "Cominc64/XBasicCritData.h"
#include "interfaces/QNError64.h"
#include "tests/helpers/Errors.h"
#include "tests/helpers/Waiting.h"

namespace {

using namespace std::chrono_literals;

TEST(GuardedData, AThreadNestsReadsInsideWritesAndFreesTheLockWithItsLastProxyWhicheverGoesFirst)
{
    const qntest::HangDeadline deadline("a write after every proxy was freed");
    XCritData<int> value(7);
    const auto held = [](auto* proxy) { return std::unique_ptr<std::remove_pointer_t<decltype(proxy)>>(proxy); };
    for (bool writeFirst : {true, false}) {
        auto write = held(new auto(value.GetWriteProxy()));
        *value.GetWriteProxy() += 1;
        auto read = held(new auto(value.GetConstReadProxy()));
        EXPECT_EQ(**read, writeFirst ? 8 : 10);
        if (writeFirst)
            write.reset();
        else
            read.reset();
        write.reset();
        read.reset();
        // Another thread gets the lock: a lock left held would keep it waiting here.
        std::thread([&] { *value.GetWriteProxy() += 1; }).join();
    }
    EXPECT_EQ(*value.GetConstReadProxy(), 11);
}

TEST(RefCountLock, WriteInsideReadIsRefusedAndAReleaseWithoutReferenceIsLoggedAndHarmless)
{
    XQNLogbookCapture capture;
    XDefaultRefCountCritSection lock;
    lock.AddReadLockRef();
    lock.AddReadLockRef();
    const XQNException refused = qntest::Raised([&] { lock.AddLockRef(); });
    EXPECT_EQ(std::tuple(refused.Message().ToUtf8(), refused.Line(), refused.Severity(), refused.Type()),
              std::tuple("unable to add a write lock reference to a read lock", 111, 8, 8));
    lock.ReleaseLockRef();
    lock.ReleaseLockRef();
    // Another thread gets the lock: the refused write took no reference that holds it.
    std::thread([&] {
        lock.AddLockRef();
        lock.ReleaseLockRef();
    }).join();

    lock.ReleaseLockRef();
    EXPECT_EQ(qntest::Only(capture.WithMessage("trying to unlock the critical section without having it locked for the running thread")).line, 216);
    lock.AddLockRef();
    lock.ReleaseLockRef();

    XCritData<int> value(1);
    auto read = value.GetConstReadProxy();
    EXPECT_THROW(value.GetWriteProxy(), XWrappedQNException) << "nor a write proxy inside a read proxy";
}

TEST(RefCountLock, ReadersDoNotBlockEachOtherWhileAWriterWaits)
{
    XDefaultRefCountCritSection lock;
    std::atomic<int> readersIn{0};
    std::atomic<bool> release{false}, writerIn{false};
    std::atomic<pid_t> writerThread{0};
    auto reader = [&] {
        lock.AddReadLockRef();
        ++readersIn;
        while (!release)
            std::this_thread::sleep_for(1ms);
        lock.ReleaseLockRef();
    };
    std::thread first(reader), second(reader);
    ASSERT_TRUE(qntest::Await([&] { return readersIn == 2; }, [](bool both) { return both; }, 10s)) << "a reader blocked another";
    std::thread writer([&] {
        writerThread = qntest::ThreadId();
        lock.AddLockRef();
        writerIn = true;
        lock.ReleaseLockRef();
    });
    EXPECT_TRUE(qntest::WaitsOnALock(writerThread)) << "the writer reached the lock";
    EXPECT_FALSE(writerIn) << "a writer must wait for the readers";
    release = true;
    first.join();
    second.join();
    writer.join();
    EXPECT_TRUE(writerIn);
}

TEST(GuardedPointer, OwnsThePointeeAndANullOneRaisesOnCheck)
{
    struct Counted {
        explicit Counted(int& alive) : alive(alive) { ++alive; }
        virtual ~Counted() { --alive; }
        int& alive;
    };
    int alive = 0;
    {
        XCritDataPtr<Counted> pointer(new Counted(alive));
        EXPECT_TRUE(pointer.IsValid());
        pointer.DeletePtr();
        EXPECT_EQ(alive, 0);
        EXPECT_FALSE(pointer.IsValid());
        pointer.DeletePtr();
        EXPECT_EQ(qntest::Raised([&] { pointer.GetReadProxy(); }).Function(), "XCritProxyDataPtr<T>::GetCheckedPtr");
        pointer.SetPtr(new Counted(alive));
    }
    EXPECT_EQ(alive, 0) << "the holder deletes what it still holds";
}

TEST(GuardedValue, CopyTakesTheValueUnderTheSourcesReadLock)
{
    XCritData<std::string> source(std::string("kept"));
    auto read = source.GetConstReadProxy();
    XCritData<std::string> copy(source);  // a read reference on top of our own read reference
    EXPECT_EQ(*copy.GetConstReadProxy(), "kept");
    auto write = copy.GetWriteProxy();    // the copy's lock is its own
    *write = "changed";
    EXPECT_EQ(*read, "kept");
}

// Several threads nest proxies on shared values at random; run under TSan this must stay silent,
// and the counters must add up: a lock that let another thread in while a proxy still held it
// loses increments. Always `a` before `b`: one order for two values.
TEST(GuardedValue, RandomNestingFromManyThreadsKeepsTheData)
{
    const qntest::HangDeadline deadline("the nesting threads");
    XCritData<long> a(0), b(0);
    std::atomic<long> increments[2] = {0, 0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 random(t);
            for (int round = 0; round < 3000; ++round) {
                if (random() % 2 == 0) {
                    auto outer = a.GetWriteProxy();
                    auto inner = a.GetConstReadProxy();
                    *a.GetWriteProxy() += 1;
                    ++increments[0];
                } else {
                    auto first = a.GetConstReadProxy();
                    auto again = a.GetConstReadProxy();
                    *b.GetWriteProxy() += *first - *again + 1;
                    ++increments[1];
                }
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(*a.GetConstReadProxy(), increments[0]);
    EXPECT_EQ(*b.GetConstReadProxy(), increments[1]) << "a read proxy saw `a` change while it held it";
}

}  // namespace
