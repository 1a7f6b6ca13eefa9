// Events and waits: set, reset and pulse of both kinds, time-outs and the tick wrap.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "sim/kernel/sim_kernel.h"
#include "tests/kernel/test_util.h"

namespace {

using namespace plat;
using kt::Clock;
using kt::MsSince;

// Runs `count` threads that each wait once on the event and count their release.
class Waiters {
public:
    Waiters(Handle event, int count) : event_(event) {
        for (int i = 0; i < count; ++i) {
            threads_.emplace_back([this] {
                EXPECT_EQ(WaitOne(event_, kInfinite), kWaitSignalled);
                released_.fetch_add(1);
            });
        }
        EXPECT_TRUE(kt::WaitersArrive(event, count));
    }
    ~Waiters() { Join(); }
    // Sets the event until every waiter is out, then joins them.
    void Join() {
        while (released_.load() < static_cast<int>(threads_.size())) {
            EventSet(event_);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (auto& t : threads_) {
            if (t.joinable()) t.join();
        }
    }
    int Released() const { return released_.load(); }
    // Waits a little so that a wrongly released waiter has time to show up.
    int ReleasedAfterSettling() const {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return Released();
    }

private:
    const Handle event_;
    std::vector<std::thread> threads_;
    std::atomic<int> released_{0};
};

class EventTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        before_ = sim::LiveHandles().size();
        event_ = EventCreate(manual(), 0);
        ASSERT_NE(event_, 0u);
    }
    void TearDown() override {
        EXPECT_EQ(HandleClose(event_), 1);
        EXPECT_EQ(sim::LiveHandles().size(), before_);
    }
    bool manual() const { return GetParam(); }

    Handle event_ = 0;
    size_t before_ = 0;
};

TEST_P(EventTest, PulseWithoutWaiterLeavesEventUnsignalled) {
    EXPECT_EQ(EventPulse(event_), 1);
    EXPECT_EQ(WaitOne(event_, 0), kWaitTimedOut);
    // A pulse also clears an earlier set.
    EventSet(event_);
    EventPulse(event_);
    EXPECT_EQ(WaitOne(event_, 0), kWaitTimedOut);
}

TEST_P(EventTest, PulseReleasesWaiterAndStaysUnsignalled) {
    Waiters w(event_, 1);
    EXPECT_EQ(EventPulse(event_), 1);
    EXPECT_TRUE(kt::Eventually([&] { return w.Released() == 1; }));
    EXPECT_EQ(WaitOne(event_, 0), kWaitTimedOut);
}

TEST_P(EventTest, PulseReleasesOneWaiterOfAutoResetAndAllOfManualReset) {
    Waiters w(event_, 3);
    EventPulse(event_);
    EXPECT_EQ(w.ReleasedAfterSettling(), manual() ? 3 : 1);
    EXPECT_EQ(sim::WaitingThreads(event_), manual() ? 0u : 2u);
    EXPECT_EQ(WaitOne(event_, 0), kWaitTimedOut);
}

TEST_P(EventTest, SetWithWaitersReleasesOneOfAutoResetAndAllOfManualReset) {
    Waiters w(event_, 3);
    EventSet(event_);
    EXPECT_EQ(w.ReleasedAfterSettling(), manual() ? 3 : 1);
    // An auto-reset set handed to a waiter is consumed; a manual-reset one stays.
    EXPECT_EQ(WaitOne(event_, 0), manual() ? kWaitSignalled : kWaitTimedOut);
}

TEST_P(EventTest, SetWithoutWaiterIsConsumedByOneWaitOfAutoReset) {
    EventSet(event_);
    EventSet(event_);  // sets do not accumulate
    EXPECT_EQ(WaitOne(event_, 0), kWaitSignalled);
    EXPECT_EQ(WaitOne(event_, 0), manual() ? kWaitSignalled : kWaitTimedOut);
    EventReset(event_);
    EXPECT_EQ(WaitOne(event_, 0), kWaitTimedOut);
}

TEST_P(EventTest, SetFromAnotherThreadEndsInfiniteWaitPromptly) {
    std::thread setter([this] {
        kt::WaitersArrive(event_, 1);
        EventSet(event_);
    });
    const auto start = Clock::now();
    EXPECT_EQ(WaitOne(event_, kInfinite), kWaitSignalled);
    EXPECT_LT(MsSince(start), 2000);
    setter.join();
}

TEST_P(EventTest, TimeOutWaitsAtLeastItsTime) {
    for (uint32_t timeout : {1u, 30u, 120u}) {
        const auto start = Clock::now();
        EXPECT_EQ(WaitOne(event_, timeout), kWaitTimedOut);
        const int64_t elapsed = MsSince(start);
        EXPECT_GE(elapsed, timeout);
        EXPECT_LT(elapsed, timeout * 5 + 500);
    }
    EXPECT_EQ(sim::WaitingThreads(event_), 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, EventTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Manual" : "Auto"; });

TEST(EventInitialState, InitiallySignalledEventSatisfiesFirstWait) {
    Handle e = EventCreate(0, 1);
    EXPECT_EQ(WaitOne(e, 0), kWaitSignalled);
    EXPECT_EQ(WaitOne(e, 0), kWaitTimedOut);
    HandleClose(e);
}

TEST(EventOrderTest, AutoResetSetsReleaseWaitersInArrivalOrder) {
    Handle e = EventCreate();
    std::vector<int> order;
    std::mutex m;
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            WaitOne(e, kInfinite);
            std::lock_guard lock(m);
            order.push_back(i);
        });
        ASSERT_TRUE(kt::WaitersArrive(e, i + 1));
    }
    for (int i = 0; i < 3; ++i) {
        EventSet(e);
        ASSERT_TRUE(kt::Eventually([&] {
            std::lock_guard lock(m);
            return order.size() == static_cast<size_t>(i + 1);
        }));
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    HandleClose(e);
}

TEST(WaitTest, HandlesThatCannotBeWaitedOnFail) {
    struct Plain : sim::KernelObject {
        std::string Describe() const override { return "plain"; }
    };
    Handle plain = sim::HandleInsert(std::make_shared<Plain>());
    Handle closed = EventCreate();
    HandleClose(closed);
    for (Handle h : {Handle{0}, plain, closed, Handle{0x7FFFFFFC}}) {
        SetLastErrorCode(0);
        EXPECT_EQ(WaitOne(h, 10), kWaitFailed) << h;
        EXPECT_EQ(LastErrorCode(), kErrorInvalidHandle);
        EXPECT_EQ(EventSet(h), 0);
    }
    HandleClose(plain);
}

TEST(WaitTest, UnknownEventOperationIsRefused) {
    Handle e = EventCreate();
    EXPECT_EQ(EventModify(e, 0), 0);
    EXPECT_EQ(EventModify(e, 4), 0);
    EXPECT_EQ(WaitOne(e, 0), kWaitTimedOut);
    HandleClose(e);
}

// The tick counter wraps during these waits; they still last their real time.
TEST(TickWrapTest, WaitsAcrossTheWrapLastTheirRealTime) {
    kt::SetTickNear(0u - 40);  // 40 ms before the wrap
    Handle e = EventCreate();
    const uint32_t before = TickCount();
    EXPECT_GT(before, 0xFFFFFF00u);
    const auto start = Clock::now();
    EXPECT_EQ(WaitOne(e, 150), kWaitTimedOut);
    const uint32_t after = TickCount();
    EXPECT_GE(MsSince(start), 150);
    EXPECT_LT(after, before);  // wrapped
    EXPECT_GE(static_cast<uint32_t>(after - before), 150u);
    EXPECT_LT(static_cast<uint32_t>(after - before), 2000u);

    // A set after the wrap still ends a long wait.
    kt::SetTickNear(0u - 20);
    std::thread setter([e] {
        kt::WaitersArrive(e, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        EventSet(e);
    });
    const auto start2 = Clock::now();
    EXPECT_EQ(WaitOne(e, 10000), kWaitSignalled);
    EXPECT_LT(MsSince(start2), 5000);
    setter.join();
    sim::SetTickOffset(0);
    HandleClose(e);
}

TEST(TickTest, TickCountFollowsRealTime) {
    const uint32_t t0 = TickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint32_t t1 = TickCount();
    EXPECT_GE(t1 - t0, 50u);
    EXPECT_LT(t1 - t0, 1000u);
    sim::SetTickOffset(1000000);
    EXPECT_GE(TickCount() - t1, 1000000u);
    sim::SetTickOffset(0);
}

}  // namespace
