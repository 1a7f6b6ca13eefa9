#include "support/device_key.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sim/kernel/sim_kernel.h"
#include "sim/registry/registry.h"

namespace zel {
namespace {

constexpr const char16_t* kActive = u"Drivers\\Active\\07";
constexpr const char16_t* kDevice = u"Drivers\\Tests\\Card";

class DeviceKeyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::DisarmAllFailures();
        sim::reg::ClearAll();
        ASSERT_TRUE(sim::reg::SetString(kActive, u"Key", kDevice));
        ASSERT_TRUE(sim::reg::SetDword(kDevice, u"DeviceID", 0x154));
        ASSERT_TRUE(sim::reg::SetDword(kDevice, u"SubSystemID", 0x0A41));
        ASSERT_TRUE(sim::reg::SetDword(kDevice, u"InterfaceType", 5));
        ASSERT_TRUE(sim::reg::SetDword(kDevice, u"MemBase", 0xC0000000u));
        ASSERT_TRUE(sim::reg::SetDword(kDevice, u"MemLen", 1024));
        ASSERT_TRUE(sim::reg::SetDword(kDevice, u"Irq", 5));
        ASSERT_TRUE(sim::reg::SetDword(kDevice, u"SysIntr", 17));
        ASSERT_TRUE(sim::reg::SetString(kDevice, u"IsrDll", u"isr.dll"));
        ASSERT_TRUE(sim::reg::SetString(kDevice, u"IsrHandler", u"StatusHandler"));
        ASSERT_TRUE(sim::reg::SetDword(kDevice, u"Priority256", 100));
        handlesBefore = sim::LiveHandles().size();
    }
    void TearDown() override {
        EXPECT_EQ(sim::LiveHandles().size(), handlesBefore) << "the device key was not closed";
    }
    size_t handlesBefore = 0;
};

TEST_F(DeviceKeyTest, OpensTheDeviceKeyNamedByTheActiveKeyAndReadsTheDescriptions) {
    DeviceKey key(kActive);
    ASSERT_NE(key.Handle(), 0u);
    EXPECT_EQ(sim::reg::PathOfKey(key.Handle()), std::u16string(kDevice));

    // The size fields hold garbage: the holder sets them.
    plat::PciInfo pci;
    std::memset(&pci, 0xA5, sizeof(pci));
    ASSERT_EQ(key.ReadPciInfo(&pci), 0u);
    EXPECT_EQ(pci.size, 52u);
    EXPECT_EQ(pci.deviceId, 0x154u);
    EXPECT_EQ(pci.subsystemId, 0x0A41u);
    EXPECT_NE(pci.validMask & plat::kPciValidDeviceId, 0u);
    EXPECT_NE(pci.validMask & plat::kPciValidSubsystemId, 0u);

    plat::WindowInfo window;
    std::memset(&window, 0xA5, sizeof(window));
    ASSERT_EQ(key.ReadWindowInfo(&window), 0u);
    EXPECT_EQ(window.size, 116u);
    EXPECT_EQ(window.interfaceType, 5u);
    ASSERT_EQ(window.memWindowCount, 1u);
    EXPECT_EQ(window.memWindows[0].base, 0xC0000000u);
    EXPECT_EQ(window.memWindows[0].length, 1024u);

    plat::InterruptInfo interrupt;
    std::memset(&interrupt, 0xA5, sizeof(interrupt));
    ASSERT_EQ(key.ReadInterruptInfo(&interrupt), 0u);
    EXPECT_EQ(interrupt.size, 268u);
    EXPECT_EQ(interrupt.irq, 5u);
    EXPECT_EQ(interrupt.sysIntr, 17u);
    EXPECT_EQ(std::u16string(interrupt.isrDll), u"isr.dll");
    EXPECT_EQ(std::u16string(interrupt.isrHandler), u"StatusHandler");
}

TEST_F(DeviceKeyTest, QueryValueReadsFixedSizeValues) {
    DeviceKey key(kActive);
    uint32_t priority = 0;
    EXPECT_TRUE(key.QueryValue(u"Priority256", &priority, sizeof(priority)));
    EXPECT_EQ(priority, 100u);
    uint16_t small = 0;
    EXPECT_FALSE(key.QueryValue(u"Priority256", &small, sizeof(small)));
    EXPECT_FALSE(key.QueryValue(u"Missing", &priority, sizeof(priority)));
    // A null buffer is not a read.
    EXPECT_FALSE(key.QueryValue(u"Priority256", nullptr, sizeof(priority)));
    // The type is not looked at: a string of the right size reads too.
    char16_t text[8] = {};
    EXPECT_TRUE(key.QueryValue(u"IsrDll", text, sizeof(text)));
    EXPECT_EQ(std::u16string(text), u"isr.dll");
}

struct UnopenedCase {
    const char* name;
    const char16_t* path;
};

class DeviceKeyUnopened : public DeviceKeyTest,
                          public ::testing::WithParamInterface<UnopenedCase> {};

TEST_P(DeviceKeyUnopened, ReadsReportOneAndTouchNothing) {
    DeviceKey key(GetParam().path);
    EXPECT_EQ(key.Handle(), 0u);
    plat::PciInfo pci;
    std::memset(&pci, 0xA5, sizeof(pci));
    EXPECT_EQ(key.ReadPciInfo(&pci), 1u);
    EXPECT_EQ(pci.size, 0xA5A5A5A5u);
    plat::WindowInfo window{};
    EXPECT_EQ(key.ReadWindowInfo(&window), 1u);
    plat::InterruptInfo interrupt{};
    EXPECT_EQ(key.ReadInterruptInfo(&interrupt), 1u);
    uint32_t number = 0;
    EXPECT_FALSE(key.QueryValue(u"Priority256", &number, sizeof(number)));
}

INSTANTIATE_TEST_SUITE_P(Paths, DeviceKeyUnopened,
                         ::testing::Values(UnopenedCase{"NullPath", nullptr},
                                           UnopenedCase{"MissingActiveKey", u"Drivers\\Active\\99"},
                                           UnopenedCase{"ActiveKeyWithoutKey", u"Drivers\\Tests"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeviceKeyTest, NullRecordsReportOne) {
    DeviceKey key(kActive);
    EXPECT_EQ(key.ReadPciInfo(nullptr), 1u);
    EXPECT_EQ(key.ReadWindowInfo(nullptr), 1u);
    EXPECT_EQ(key.ReadInterruptInfo(nullptr), 1u);
}

}  // namespace
}  // namespace zel
