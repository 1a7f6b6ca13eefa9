// The interrupt controller: delivery to bound events, masking until end of interrupt,
// level-triggered re-delivery, explicit masks, disabling, and the installable handler.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/bus.h"
#include "platform/kernel.h"
#include "platform/records.h"
#include "sim/bus/sim_bus.h"
#include "sim/irq/sim_irq.h"
#include "sim/kernel/sim_kernel.h"

namespace {

// A device with a 32-bit status register at 0 and a mask register at 4; remembers which
// thread read the status.
class StatusDevice : public sim::BusTarget {
  public:
    std::string Name() const override { return "status device"; }
    uint8_t Read8(uint32_t offset) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (offset < 4) {
            ++reads;
            reader = std::this_thread::get_id();
            return static_cast<uint8_t>(status >> (8 * offset));
        }
        if (offset < 8) return static_cast<uint8_t>(maskRegister >> (8 * (offset - 4)));
        return 0;
    }
    void Write8(uint32_t, uint8_t) override {}
    uint32_t Read32(uint32_t offset) override {
        uint32_t v = 0;
        for (uint32_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Read8(offset + i)) << (8 * i);
        return v;
    }

    std::mutex mutex;
    uint32_t status = 0;
    uint32_t maskRegister = 0;
    int reads = 0;
    std::thread::id reader;
};

constexpr uint32_t kDelivered = 2000;  // generous upper bound for a delivery, ms

class IrqTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static uint32_t nextIrq = 40;
        irq = nextIrq++;
        sysIntr = sim::IrqAllocateSysIntr(irq);
        event = plat::EventCreate();
        ASSERT_NE(event, 0u);
    }
    void TearDown() override {
        sim::IrqSetLevel(irq, false);
        plat::InterruptDisable(sysIntr);
        sim::IrqUnmapSysIntr(sysIntr);
        if (isr != 0) plat::IsrUnload(isr);
        plat::HandleClose(event);
        if (device) sim::BusDetach(busAddress);
    }

    bool Signalled(uint32_t timeoutMs = kDelivered) {
        return plat::WaitOne(event, timeoutMs) == plat::kWaitSignalled;
    }
    bool NotSignalled() {
        sim::IrqSettle();
        return plat::WaitOne(event, 0) == plat::kWaitTimedOut;
    }

    // Attaches the status device and loads a handler configured for it.
    void LoadHandler(uint32_t width, uint32_t mask, uint32_t useMaskReg = 0,
                     uint32_t checkPort = 1) {
        device = std::make_shared<StatusDevice>();
        busAddress = 0xE0000000ull + (static_cast<uint64_t>(irq) << 16);
        sim::BusAttach(busAddress, 16, device);
        uint32_t space = plat::kAddressSpaceMemory;
        plat::VirtAddr status = 0;
        ASSERT_TRUE(
            plat::BusStaticTranslate(plat::kInterfaceTypePci, 0, busAddress, 1, &space, &status));
        isr = plat::IsrLoad(u"zelisr.dll", u"IsrHandler", irq);
        ASSERT_NE(isr, 0u);
        const plat::IsrConfig config = {sysIntr, checkPort, 0,    useMaskReg,
                                        status,  width,     mask, status + 4};
        ASSERT_TRUE(plat::IsrControl(isr, plat::kIsrControlConfigure, &config, sizeof(config),
                                     nullptr, 0, nullptr));
    }
    void SetStatus(uint32_t value) {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->status = value;
    }

    uint32_t irq = 0;
    uint32_t sysIntr = 0;
    plat::Handle event = 0;
    plat::Handle isr = 0;
    std::shared_ptr<StatusDevice> device;
    uint64_t busAddress = 0;
};

TEST_F(IrqTest, BindRefusesUnmappedBoundOrInvalid) {
    EXPECT_FALSE(plat::InterruptBind(0x7FFF0000u, event));
    EXPECT_FALSE(plat::InterruptBind(sysIntr, 0));
    EXPECT_TRUE(plat::InterruptBind(sysIntr, event));
    EXPECT_FALSE(plat::InterruptBind(sysIntr, event));
    EXPECT_TRUE(sim::IrqCountersOf(sysIntr).bound);
    EXPECT_FALSE(sim::IrqMapSysIntr(sysIntr, irq + 1000));  // already on another line
    EXPECT_FALSE(sim::IrqMapSysIntr(0, irq));
}

TEST_F(IrqTest, MaskedFromSignalUntilDone) {
    ASSERT_TRUE(plat::InterruptBind(sysIntr, event));
    sim::IrqSetLevel(irq, true);
    ASSERT_TRUE(Signalled());
    EXPECT_TRUE(sim::IrqCountersOf(sysIntr).inService);

    // New edges while in service are held back.
    sim::IrqSetLevel(irq, false);
    sim::IrqSetLevel(irq, true);
    sim::IrqSetLevel(irq, false);
    EXPECT_TRUE(NotSignalled());

    // Done with the line deasserted delivers nothing; the next assertion does.
    plat::InterruptDone(sysIntr);
    EXPECT_TRUE(NotSignalled());
    sim::IrqSetLevel(irq, true);
    EXPECT_TRUE(Signalled());
    const sim::SysIntrCounters c = sim::IrqCountersOf(sysIntr);
    EXPECT_EQ(c.signalled, 2u);
    EXPECT_EQ(c.passes, 1u);
}

TEST_F(IrqTest, StillAssertedAtDoneIsDeliveredAgain) {
    ASSERT_TRUE(plat::InterruptBind(sysIntr, event));
    sim::IrqSetLevel(irq, true);
    ASSERT_TRUE(Signalled());
    for (int pass = 0; pass < 3; ++pass) {
        plat::InterruptDone(sysIntr);
        ASSERT_TRUE(Signalled()) << "pass " << pass;
    }
    sim::IrqSetLevel(irq, false);
    plat::InterruptDone(sysIntr);
    EXPECT_TRUE(NotSignalled());
    EXPECT_EQ(sim::IrqCountersOf(sysIntr).signalled, 4u);
    EXPECT_EQ(sim::IrqCountersOf(sysIntr).passes, 4u);
}

TEST_F(IrqTest, LineAssertedBeforeBindIsDeliveredAtBind) {
    sim::IrqSetLevel(irq, true);
    EXPECT_TRUE(NotSignalled());
    ASSERT_TRUE(plat::InterruptBind(sysIntr, event));
    EXPECT_TRUE(Signalled());
}

TEST_F(IrqTest, ExplicitMaskHoldsBackUntilUnmask) {
    ASSERT_TRUE(plat::InterruptBind(sysIntr, event));
    plat::InterruptMask(sysIntr, 1);
    sim::IrqSetLevel(irq, true);
    EXPECT_TRUE(NotSignalled());
    EXPECT_TRUE(sim::IrqCountersOf(sysIntr).masked);
    plat::InterruptMask(sysIntr, 0);
    EXPECT_TRUE(Signalled());

    // Unmask with the line no longer asserted delivers nothing.
    plat::InterruptDone(sysIntr);
    ASSERT_TRUE(Signalled());  // still asserted at done
    plat::InterruptMask(sysIntr, 1);
    plat::InterruptDone(sysIntr);
    sim::IrqSetLevel(irq, false);
    plat::InterruptMask(sysIntr, 0);
    EXPECT_TRUE(NotSignalled());
}

TEST_F(IrqTest, DisableStopsDeliveryAndAllowsRebinding) {
    ASSERT_TRUE(plat::InterruptBind(sysIntr, event));
    sim::IrqSetLevel(irq, true);
    ASSERT_TRUE(Signalled());
    plat::InterruptDisable(sysIntr);
    EXPECT_FALSE(sim::IrqCountersOf(sysIntr).bound);
    plat::InterruptDone(sysIntr);  // ignored once disabled
    sim::IrqSetLevel(irq, false);
    sim::IrqSetLevel(irq, true);
    EXPECT_TRUE(NotSignalled());
    EXPECT_EQ(sim::IrqCountersOf(sysIntr).passes, 0u);

    ASSERT_TRUE(plat::InterruptBind(sysIntr, event));
    EXPECT_TRUE(Signalled());  // still asserted: delivered at bind
}

TEST_F(IrqTest, HandlerReportsOnlyWhenMaskedStatusIsSet) {
    LoadHandler(4, 0xFF);
    ASSERT_TRUE(plat::InterruptBind(sysIntr, event));

    SetStatus(0x100);  // outside the mask
    sim::IrqSetLevel(irq, true);
    EXPECT_TRUE(NotSignalled());
    EXPECT_EQ(sim::IrqCountersOf(sysIntr).handlerRuns, 0u);

    // The line stays asserted; the device tells the controller to look again.
    SetStatus(0x104);
    sim::IrqSetLevel(irq, true);
    EXPECT_TRUE(Signalled());
    EXPECT_EQ(sim::IrqCountersOf(sysIntr).handlerRuns, 1u);

    // Re-delivered at done only while the status still says so.
    SetStatus(0);
    plat::InterruptDone(sysIntr);
    EXPECT_TRUE(NotSignalled());
}

TEST_F(IrqTest, HandlerRunsOnTheDispatchThreadWithTheConfiguredWidth) {
    LoadHandler(1, 0xFF);
    ASSERT_TRUE(plat::InterruptBind(sysIntr, event));
    SetStatus(0x0100);  // byte 1: not seen by a one-byte read
    sim::IrqSetLevel(irq, true);
    EXPECT_TRUE(NotSignalled());
    SetStatus(0x0001);
    sim::IrqSetLevel(irq, true);
    EXPECT_TRUE(Signalled());
    std::lock_guard<std::mutex> lock(device->mutex);
    EXPECT_GT(device->reads, 0);
    EXPECT_NE(device->reader, std::this_thread::get_id());
}

TEST_F(IrqTest, HandlerTakesTheMaskFromAMaskRegister) {
    LoadHandler(4, 0xFFFFFFFF, 1);
    ASSERT_TRUE(plat::InterruptBind(sysIntr, event));
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->status = 0x03;
        device->maskRegister = 0x04;
    }
    sim::IrqSetLevel(irq, true);
    EXPECT_TRUE(NotSignalled());
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        device->maskRegister = 0x02;
    }
    sim::IrqSetLevel(irq, true);
    EXPECT_TRUE(Signalled());
}

TEST_F(IrqTest, HandlerWithoutStatusTestAlwaysReports) {
    LoadHandler(4, 0xFF, 0, 0);
    ASSERT_TRUE(plat::InterruptBind(sysIntr, event));
    sim::IrqSetLevel(irq, true);
    EXPECT_TRUE(Signalled());
    std::lock_guard<std::mutex> lock(device->mutex);
    EXPECT_EQ(device->reads, 0);
}

TEST_F(IrqTest, UnconfiguredHandlerReportsNothing) {
    isr = plat::IsrLoad(u"ZELISR.DLL", u"IsrHandler", irq);
    ASSERT_NE(isr, 0u);
    ASSERT_TRUE(plat::InterruptBind(sysIntr, event));
    sim::IrqSetLevel(irq, true);
    EXPECT_TRUE(NotSignalled());
    // Unloaded, the line falls back to its mapped system interrupt.
    EXPECT_TRUE(plat::IsrUnload(isr));
    isr = 0;
    sim::IrqSetLevel(irq, true);
    EXPECT_TRUE(Signalled());
}

TEST_F(IrqTest, LoadAndControlRefuseWhatTheHandlerDoesNotKnow) {
    const size_t loaded = sim::IrqLoadedHandlerCount();
    EXPECT_EQ(plat::IsrLoad(u"other.dll", u"IsrHandler", irq), 0u);
    EXPECT_EQ(plat::IsrLoad(u"zelisr.dll", u"OtherHandler", irq), 0u);
    EXPECT_EQ(sim::IrqLoadedHandlerCount(), loaded);

    isr = plat::IsrLoad(u"zelisr.dll", u"IsrHandler", irq);
    ASSERT_NE(isr, 0u);
    EXPECT_EQ(sim::IrqLoadedHandlerCount(), loaded + 1);
    plat::IsrConfig config = {sysIntr, 1, 0, 0, 0x1000, 4, 0xFF, 0};
    EXPECT_FALSE(plat::IsrControl(isr, 255, &config, sizeof(config), nullptr, 0, nullptr));
    EXPECT_FALSE(
        plat::IsrControl(isr, plat::kIsrControlConfigure, &config, 28, nullptr, 0, nullptr));
    EXPECT_FALSE(
        plat::IsrControl(isr, plat::kIsrControlConfigure, nullptr, 32, nullptr, 0, nullptr));
    config.portSize = 3;
    EXPECT_FALSE(plat::IsrControl(isr, plat::kIsrControlConfigure, &config, sizeof(config), nullptr,
                                  0, nullptr));
    EXPECT_FALSE(plat::IsrControl(event, plat::kIsrControlConfigure, &config, sizeof(config),
                                  nullptr, 0, nullptr));
    EXPECT_FALSE(plat::IsrUnload(event));
    EXPECT_TRUE(plat::IsrUnload(isr));
    isr = 0;
    EXPECT_EQ(sim::IrqLoadedHandlerCount(), loaded);
}

TEST_F(IrqTest, HandlerReadingARemovedDeviceReportsNothing) {
    LoadHandler(4, 0xFF);
    ASSERT_TRUE(plat::InterruptBind(sysIntr, event));
    SetStatus(1);
    sim::BusDetach(busAddress);
    device.reset();
    sim::IrqSetLevel(irq, true);
    EXPECT_TRUE(NotSignalled());
}

}  // namespace
