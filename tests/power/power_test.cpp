// System suspend and resume orders and the power manager's requests, against the test driver.
#include "sim/power/power.h"

#include <atomic>
#include <thread>

#include "tests/devmgr/fixture.h"

namespace {

using namespace tst;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class PowerTest : public DriverTest {
  protected:
    void TearDown() override {
        sim::SystemResume();
        DriverTest::TearDown();
    }
};

TEST_F(PowerTest, SuspendGoesNewestFirstAndResumeOldestFirst) {
    std::u16string child = Key("port", "CHD");
    std::u16string adapter = Key("adapter", "PAR");
    sim::reg::SetString(adapter, u"ChildKey", child);
    ASSERT_NE(Activate(adapter), 0u);
    ASSERT_NE(Activate(Key("other")), 0u);

    EXPECT_EQ(sim::SystemSuspend(), 3u);
    EXPECT_TRUE(sim::SystemSuspended());
    EXPECT_EQ(sim::SystemSuspend(), 0u) << "already suspended";
    EXPECT_THAT(LogLines("PowerDown"),
                ElementsAre("PowerDown other", "PowerDown port", "PowerDown adapter"));
    EXPECT_EQ(LogCount("PowerUp"), 0);

    EXPECT_EQ(sim::SystemResume(), 3u);
    EXPECT_FALSE(sim::SystemSuspended());
    EXPECT_EQ(sim::SystemResume(), 0u) << "not suspended";
    EXPECT_THAT(LogLines("PowerUp"),
                ElementsAre("PowerUp adapter", "PowerUp port", "PowerUp other"));
}

TEST_F(PowerTest, SuspendDoesNotWaitForBlockedCalls) {
    ASSERT_NE(Activate(Key("dev")), 0u);
    plat::Handle h = sim::DeviceOpen(u"TST1:", kReadWrite, 0);
    TheProbe().blockCalls = true;
    std::thread reader([&] {
        uint8_t buffer[4];
        uint32_t done;
        sim::DeviceRead(h, buffer, 4, &done);
    });
    ASSERT_TRUE(WaitFor([] { return TheProbe().blockedCalls == 1; }));
    EXPECT_EQ(sim::SystemSuspend(), 1u);
    EXPECT_EQ(sim::SystemResume(), 1u);
    EXPECT_EQ(TheProbe().blockedCalls, 1) << "the read is still waiting";
    EXPECT_TRUE(sim::DeviceClose(h));
    reader.join();
}

TEST_F(PowerTest, PowerManagerUsesABusNamespaceHandleAndClosesIt) {
    ASSERT_NE(Activate(Key("dev")), 0u);
    // An application owns the port meanwhile; the power manager's handle is not an owner.
    plat::Handle app = sim::DeviceOpen(u"TST1:", kReadWrite, 0);
    ASSERT_NE(app, 0u);

    plat::PowerCapabilities caps{};
    ASSERT_TRUE(sim::PowerManagerCapabilities(u"TST1:", &caps));
    EXPECT_EQ(caps.DeviceDx, 0x19);
    const std::string access = std::to_string(sim::kPowerManagerAccess);
    EXPECT_GE(LogIndex("PowerCaps dev access " + access), 0);
    EXPECT_TRUE((sim::kPowerManagerAccess & plat::kAccessBusNamespace) != 0);

    uint32_t reached = 99;
    ASSERT_TRUE(sim::PowerManagerSetPower(u"TST1:", plat::D3, &reached));
    EXPECT_EQ(reached, plat::D4) << "the state the device reports comes back";
    EXPECT_GE(LogIndex("PowerSet dev 3 access " + access), 0);
    // Each request opened and closed its own handle; only the application's stays open.
    EXPECT_EQ(LogCount("Open dev"), 3);
    EXPECT_EQ(LogCount("Close dev"), 2);
    EXPECT_EQ(sim::FindDevice(u"TST1:")->openHandles, 1u);
    EXPECT_TRUE(sim::DeviceClose(app));
}

TEST_F(PowerTest, PowerManagerRequestsReportFailures) {
    ASSERT_NE(Activate(Key("dev")), 0u);
    uint32_t reached = 77;
    plat::SetLastErrorCode(0);
    EXPECT_FALSE(sim::PowerManagerSetPower(u"TST1:", 9, &reached));
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidParameter);
    EXPECT_EQ(reached, 77u);
    EXPECT_EQ(LogCount("Close dev"), 1) << "the handle is closed after a refusal too";

    plat::PowerCapabilities caps{};
    EXPECT_FALSE(sim::PowerManagerCapabilities(u"TST9:", &caps));
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorFileNotFound);
    EXPECT_FALSE(sim::PowerManagerCapabilities(u"TST1:", nullptr));
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidParameter);
}

}  // namespace
