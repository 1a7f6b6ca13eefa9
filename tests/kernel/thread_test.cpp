// Platform threads: suspension, termination, exit, waits on thread handles, handle closing.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>

#include "platform/kernel.h"
#include "sim/kernel/sim_kernel.h"
#include "tests/kernel/test_util.h"

namespace {

using namespace plat;
using kt::Clock;
using kt::MsSince;

// What a test thread does; the thread returns the function's result.
struct Body {
    std::function<uint32_t()> fn;
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};  // the body ran to its end
};

uint32_t RunBody(void* arg) {
    auto* body = static_cast<Body*>(arg);
    body->started = true;
    const uint32_t result = body->fn();
    body->finished = true;
    return result;
}

Handle Start(Body& body, uint32_t flags = 0) {
    return ThreadCreate(0, &RunBody, &body, flags, nullptr);
}

uint32_t ExitCodeOf(Handle thread) {
    uint32_t code = 0;
    EXPECT_EQ(ThreadGetExitCode(thread, &code), 1);
    return code;
}

class ThreadTest : public ::testing::Test {
  protected:
    void SetUp() override { handlesBefore_ = sim::LiveHandles().size(); }
    void TearDown() override { EXPECT_EQ(sim::LiveHandles().size(), handlesBefore_); }
    size_t handlesBefore_ = 0;
};

TEST_F(ThreadTest, ReturnValueBecomesExitCodeAndSignalsHandle) {
    Handle go = EventCreate();
    Body body{[&] { return WaitOne(go, kInfinite) == kWaitSignalled ? 42u : 1u; }};
    uint32_t id = 0;
    Handle t = ThreadCreate(0, &RunBody, &body, 0, &id);
    ASSERT_NE(t, 0u);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(ExitCodeOf(t), kStillActive);
    const auto start = Clock::now();
    EXPECT_EQ(WaitOne(t, 60), kWaitTimedOut);
    EXPECT_GE(MsSince(start), 60);
    EventSet(go);
    EXPECT_EQ(WaitOne(t, 5000), kWaitSignalled);
    EXPECT_EQ(WaitOne(t, 0), kWaitSignalled);  // stays signalled
    EXPECT_EQ(ExitCodeOf(t), 42u);
    HandleClose(t);
    HandleClose(go);
}

TEST_F(ThreadTest, SuspendedThreadRunsOnlyAfterResume) {
    Body body{[] { return 7u; }};
    Handle t = Start(body, kThreadCreateSuspended);
    ASSERT_NE(t, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(body.started.load());
    EXPECT_EQ(ExitCodeOf(t), kStillActive);
    EXPECT_EQ(ThreadResume(t), 1u);
    EXPECT_EQ(WaitOne(t, 5000), kWaitSignalled);
    EXPECT_TRUE(body.finished.load());
    EXPECT_EQ(ExitCodeOf(t), 7u);
    EXPECT_EQ(ThreadResume(t), 0u);
    HandleClose(t);
}

TEST_F(ThreadTest, TerminatedSuspendedThreadNeverRuns) {
    Body body{[] { return 7u; }};
    Handle t = Start(body, kThreadCreateSuspended);
    EXPECT_EQ(ThreadTerminate(t, 99), 1);
    EXPECT_EQ(WaitOne(t, 0), kWaitSignalled);
    EXPECT_EQ(ExitCodeOf(t), 99u);
    EXPECT_EQ(ThreadResume(t), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(body.started.load());
    HandleClose(t);
}

// A running thread blocked in each kind of platform wait ends there when terminated.
struct BlockingCase {
    const char* name;
    std::function<void(Handle never)> block;
};
void PrintTo(const BlockingCase& c, std::ostream* os) {
    *os << c.name;
}

class TerminateRunningTest : public ThreadTest,
                             public ::testing::WithParamInterface<BlockingCase> {};

TEST_P(TerminateRunningTest, EndsAtItsWaitWithTheGivenCode) {
    Handle never = EventCreate();
    std::atomic<bool> unwound{false};
    struct Unwind {
        std::atomic<bool>& flag;
        ~Unwind() { flag = true; }
    };
    Body body{[&] {
        Unwind u{unwound};
        GetParam().block(never);
        return 1u;
    }};
    Handle t = Start(body);
    ASSERT_TRUE(kt::Eventually([&] { return body.started.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let it reach the wait
    EXPECT_EQ(ThreadTerminate(t, 77), 1);
    EXPECT_EQ(WaitOne(t, 5000), kWaitSignalled);
    EXPECT_EQ(ExitCodeOf(t), 77u);
    EXPECT_FALSE(body.finished.load());
    EXPECT_TRUE(unwound.load()) << "the stack was not unwound";
    HandleClose(t);
    HandleClose(never);
}

INSTANTIATE_TEST_SUITE_P(Waits, TerminateRunningTest,
                         ::testing::Values(BlockingCase{"InfiniteWait",
                                                        [](Handle e) { WaitOne(e, kInfinite); }},
                                           BlockingCase{"WaitLoop",
                                                        [](Handle e) {
                                                            for (;;) WaitOne(e, 5);
                                                        }},
                                           BlockingCase{"Sleep", [](Handle) { SleepMs(60000); }},
                                           BlockingCase{"BusyThenWait",
                                                        [](Handle e) {
                                                            const auto start = Clock::now();
                                                            while (MsSince(start) < 100) {
                                                            }
                                                            WaitOne(e, kInfinite);
                                                        }}),
                         [](const auto& info) { return info.param.name; });

TEST_F(ThreadTest, ThreadExitUnwindsWithItsCode) {
    std::atomic<bool> unwound{false};
    struct Unwind {
        std::atomic<bool>& flag;
        ~Unwind() { flag = true; }
    };
    Body body{[&]() -> uint32_t {
        Unwind u{unwound};
        ThreadExit(5);
    }};
    Handle t = Start(body);
    EXPECT_EQ(WaitOne(t, 5000), kWaitSignalled);
    EXPECT_EQ(ExitCodeOf(t), 5u);
    EXPECT_TRUE(unwound.load());
    EXPECT_FALSE(body.finished.load());
    HandleClose(t);
}

TEST_F(ThreadTest, TerminatingItselfEndsAtOnce) {
    Handle self = 0;
    std::atomic<bool> handleReady{false};
    Body body{[&] {
        while (!handleReady) std::this_thread::yield();
        ThreadTerminate(self, 3);
        return 1u;
    }};
    self = Start(body);
    handleReady = true;
    EXPECT_EQ(WaitOne(self, 5000), kWaitSignalled);
    EXPECT_EQ(ExitCodeOf(self), 3u);
    EXPECT_FALSE(body.finished.load());
    HandleClose(self);
}

TEST_F(ThreadTest, ClosingTheHandleLetsTheThreadFinish) {
    Handle go = EventCreate();
    Handle done = EventCreate();
    Body body{[&] {
        WaitOne(go, kInfinite);
        EventSet(done);
        return 0u;
    }};
    Handle t = Start(body);
    ASSERT_TRUE(kt::Eventually([&] { return body.started.load(); }));
    EXPECT_EQ(HandleClose(t), 1);
    EventSet(go);
    EXPECT_EQ(WaitOne(done, 5000), kWaitSignalled);
    EXPECT_TRUE(kt::Eventually([&] { return body.finished.load(); }));
    HandleClose(go);
    HandleClose(done);
}

TEST_F(ThreadTest, ClosingTheHandleOfANeverResumedThreadDiscardsIt) {
    Body body{[] { return 0u; }};
    Handle t = Start(body, kThreadCreateSuspended);
    EXPECT_EQ(HandleClose(t), 1);
    EXPECT_EQ(ThreadResume(t), 0xFFFFFFFFu);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(body.started.load());
}

TEST_F(ThreadTest, PriorityIsRecorded) {
    Body body{[] { return 0u; }};
    Handle t = Start(body, kThreadCreateSuspended);
    EXPECT_EQ(sim::ThreadPriorityOf(t), 251);
    EXPECT_EQ(ThreadSetPriority(t, 159), 1);
    EXPECT_EQ(sim::ThreadPriorityOf(t), 159);
    EXPECT_EQ(ThreadSetPriority(t, 256), 0);
    EXPECT_EQ(sim::ThreadPriorityOf(t), 159);
    ThreadResume(t);
    WaitOne(t, 5000);
    HandleClose(t);
    EXPECT_EQ(sim::ThreadPriorityOf(t), -1);
}

TEST_F(ThreadTest, OperationsOnHandlesThatAreNoThreadsFail) {
    Handle e = EventCreate();
    uint32_t code = 0;
    for (Handle h : {Handle{0}, e}) {
        EXPECT_EQ(ThreadResume(h), 0xFFFFFFFFu);
        EXPECT_EQ(ThreadSetPriority(h, 1), 0);
        EXPECT_EQ(ThreadTerminate(h, 1), 0);
        EXPECT_EQ(ThreadGetExitCode(h, &code), 0);
        EXPECT_EQ(LastErrorCode(), kErrorInvalidHandle);
    }
    HandleClose(e);
}

TEST_F(ThreadTest, FailedHandleCreationStartsNothing) {
    Body body{[] { return 0u; }};
    sim::FailNth(sim::FailKind::Handle, 1);
    EXPECT_EQ(Start(body), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(body.started.load());
}

TEST_F(ThreadTest, NewThreadHasItsOwnLastErrorAndPermissions) {
    SetLastErrorCode(87);
    const uint32_t previous = SetPermissions(0x55);
    EXPECT_EQ(previous, 1u);
    uint32_t seenError = 1, seenPermissions = 0, swapped = 0;
    Body body{[&] {
        seenError = LastErrorCode();
        seenPermissions = GetPermissions();
        swapped = SetPermissions(3);
        return 0u;
    }};
    Handle t = Start(body);
    WaitOne(t, 5000);
    EXPECT_EQ(seenError, 0u);
    EXPECT_EQ(seenPermissions, 1u);
    EXPECT_EQ(swapped, 1u);
    EXPECT_EQ(LastErrorCode(), 87u);
    EXPECT_EQ(SetPermissions(previous), 0x55u);
    HandleClose(t);
}

uint32_t BlockForever(void*) {
    Handle never = EventCreate();
    WaitOne(never, kInfinite);
    return 0;
}

uint32_t KeepBusy(void*) {
    CriticalSection cs{};
    CsInit(&cs, "busy");
    Handle e = EventCreate();
    for (;;) {
        CsEnter(&cs);
        EventSet(e);
        WaitOne(e, 0);
        CsLeave(&cs);
        void* p = MemAlloc(0, 16);
        MemFree(p);
    }
}

TEST(ThreadExitDeathTest, ProcessExitsCleanlyWhileThreadsRun) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ThreadCreate(0, &BlockForever, nullptr, 0, nullptr);
            ThreadCreate(0, &KeepBusy, nullptr, 0, nullptr);
            ThreadCreate(0, &KeepBusy, nullptr, kThreadCreateSuspended, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
