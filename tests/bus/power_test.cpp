// The power-management service: callbacks on the service's thread, full-power requests,
// levels, and handle lifetime.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/bus.h"
#include "sim/kernel/sim_kernel.h"

namespace {

// A device that reaches whatever it is asked for, unless told to stop at a floor.
struct Device {
    std::mutex mutex;
    std::vector<uint32_t> requested;
    std::vector<std::thread::id> threads;
    uint32_t refuseBelow = 0;  // states below this are answered with this one
    std::chrono::milliseconds delay{0};
    std::atomic<bool> inCallback{false};

    static uint32_t Callback(void* context, uint32_t state) {
        auto* d = static_cast<Device*>(context);
        d->inCallback = true;
        std::this_thread::sleep_for(d->delay);
        std::lock_guard lock(d->mutex);
        d->requested.push_back(state);
        d->threads.push_back(std::this_thread::get_id());
        d->inCallback = false;
        return std::max(state, d->refuseBelow);
    }
    std::vector<uint32_t> Requested() {
        std::lock_guard lock(mutex);
        return requested;
    }
};

class PowerTest : public ::testing::Test {
protected:
    void SetUp() override {
        power_ = plat::PowerCreate(Device::Callback, &device_, 1, 1000);
        ASSERT_NE(power_, plat::kPowerHandleNone);
    }
    void TearDown() override {
        if (power_ != plat::kPowerHandleNone) plat::PowerRelease(power_);
        sim::DisarmAllFailures();
    }
    Device device_;
    uint32_t power_ = plat::kPowerHandleNone;
};

TEST_F(PowerTest, CallbackRunsOnTheServiceThreadAndTheCallWaitsForIt) {
    device_.delay = std::chrono::milliseconds(30);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(plat::PowerSetLevel(power_, plat::D3, 0), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_FALSE(device_.inCallback);
    ASSERT_EQ(device_.Requested(), std::vector<uint32_t>{plat::D3});
    EXPECT_NE(device_.threads[0], std::this_thread::get_id());
    EXPECT_EQ(plat::PowerCurrentLevel(power_), plat::D3);
}

TEST_F(PowerTest, StartsAtD0AndRecordsTheStateTheCallbackReached) {
    EXPECT_EQ(plat::PowerCurrentLevel(power_), plat::D0);
    device_.refuseBelow = plat::D2;
    EXPECT_EQ(plat::PowerSetLevel(power_, plat::D1, 0), 1);
    EXPECT_EQ(plat::PowerCurrentLevel(power_), plat::D2);
    EXPECT_EQ(plat::PowerSetLevel(power_, plat::D4, 0), 1);
    EXPECT_EQ(plat::PowerCurrentLevel(power_), plat::D4);
    EXPECT_EQ(device_.Requested(), (std::vector<uint32_t>{plat::D1, plat::D4}));
}

TEST_F(PowerTest, AFullPowerRequestHoldsD0UntilReleased) {
    ASSERT_EQ(plat::PowerSetLevel(power_, plat::D4, 0), 1);
    uint32_t token = plat::PowerRequestLevel(power_, plat::D0);
    EXPECT_NE(token, 0u);
    EXPECT_EQ(plat::PowerCurrentLevel(power_), plat::D0);

    // Held: setting a lower level keeps the device at D0 without moving it.
    EXPECT_EQ(plat::PowerSetLevel(power_, plat::D3, 0), 1);
    EXPECT_EQ(plat::PowerCurrentLevel(power_), plat::D0);
    EXPECT_EQ(device_.Requested(), (std::vector<uint32_t>{plat::D4, plat::D0}));

    plat::PowerReleaseRequest(power_, token);
    EXPECT_EQ(plat::PowerCurrentLevel(power_), plat::D0);  // releasing does not move it
    EXPECT_EQ(plat::PowerSetLevel(power_, plat::D3, 0), 1);
    EXPECT_EQ(plat::PowerCurrentLevel(power_), plat::D3);
    EXPECT_EQ(device_.Requested(), (std::vector<uint32_t>{plat::D4, plat::D0, plat::D3}));
}

TEST_F(PowerTest, EveryRequestMustBeReleasedAndTokensDiffer) {
    uint32_t first = plat::PowerRequestLevel(power_, plat::D0);
    uint32_t second = plat::PowerRequestLevel(power_, plat::D0);
    EXPECT_NE(first, second);
    EXPECT_TRUE(device_.Requested().empty());  // already at D0
    plat::PowerReleaseRequest(power_, first);
    plat::PowerReleaseRequest(power_, 12345);  // unknown tokens are ignored
    EXPECT_EQ(plat::PowerSetLevel(power_, plat::D4, 0), 1);
    EXPECT_EQ(plat::PowerCurrentLevel(power_), plat::D0);
    plat::PowerReleaseRequest(power_, second);
    EXPECT_EQ(plat::PowerSetLevel(power_, plat::D4, 0), 1);
    EXPECT_EQ(plat::PowerCurrentLevel(power_), plat::D4);
}

TEST_F(PowerTest, BadHandlesAndStatesAreRefused) {
    EXPECT_EQ(plat::PowerSetLevel(power_, 5, 0), 0);
    EXPECT_EQ(plat::PowerRequestLevel(power_, 5), 0u);
    EXPECT_EQ(plat::PowerSetLevel(plat::kPowerHandleNone, plat::D0, 0), 0);
    EXPECT_EQ(plat::PowerSetLevel(0, plat::D0, 0), 0);
    EXPECT_EQ(plat::PowerRequestLevel(0, plat::D0), 0u);
    EXPECT_EQ(plat::PowerCurrentLevel(plat::kPowerHandleNone), plat::kPowerHandleNone);
    EXPECT_TRUE(device_.Requested().empty());
    EXPECT_EQ(plat::PowerCreate(nullptr, nullptr, 1, 1000), plat::kPowerHandleNone);
}

TEST_F(PowerTest, CreationFailsWhenTheHandleCannotBeMade) {
    sim::FailNth(sim::FailKind::Handle, 1);
    EXPECT_EQ(plat::PowerCreate(Device::Callback, &device_, 1, 1000), plat::kPowerHandleNone);
}

TEST_F(PowerTest, ReleasedHandleIsGoneAndNoCallbackFollows) {
    bool listed = false;
    for (const auto& h : sim::LiveHandles()) listed |= h.handle == power_;
    EXPECT_TRUE(listed);
    plat::PowerRelease(power_);
    EXPECT_EQ(sim::HandleLookup(power_), nullptr);
    EXPECT_EQ(plat::PowerSetLevel(power_, plat::D3, 0), 0);
    EXPECT_TRUE(device_.Requested().empty());
    power_ = plat::kPowerHandleNone;
}

// A callback may use the service itself (it runs on the service thread) without deadlock.
TEST(PowerService, CallbackMayCallTheService) {
    struct Ctx {
        uint32_t handle;
        uint32_t seen;
    } ctx{0, 0};
    auto cb = [](void* c, uint32_t state) -> uint32_t {
        auto* x = static_cast<Ctx*>(c);
        x->seen = plat::PowerCurrentLevel(x->handle);
        return state;
    };
    ctx.handle = plat::PowerCreate(cb, &ctx, 1, 1000);
    ASSERT_NE(ctx.handle, plat::kPowerHandleNone);
    EXPECT_EQ(plat::PowerSetLevel(ctx.handle, plat::D2, 0), 1);
    EXPECT_EQ(ctx.seen, plat::D0);
    plat::PowerRelease(ctx.handle);
}

}  // namespace
