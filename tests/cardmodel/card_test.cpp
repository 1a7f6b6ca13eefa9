// The card model: variants, the global registers and markers, the interrupt status and line
// fed by the UARTs, the EEPROM behind its control register, and per-port power.
#include "sim/hw/card.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "adapter/adapter_registers.h"
#include "platform/bus.h"
#include "sim/bus/sim_bus.h"
#include "sim/hw/uart.h"
#include "sim/hw/uart_regs.h"
#include "sim/irq/sim_irq.h"

namespace {

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(CardModel, VariantsFollowTheSubsystemId) {
    struct Case {
        uint16_t subsystemId;
        uint32_t ports, windowLength;
        bool listed;
    };
    const Case cases[] = {
        {0x0A40, 2, 1024, true},  {0x0A66, 2, 1024, true},  {0x0A41, 4, 2048, true},
        {0x0A59, 4, 2048, true},  {0x0A42, 8, 4096, true},  {0x0A5A, 8, 4096, true},
        {0x0A5C, 2, 1024, false}, {0x1234, 2, 1024, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subsystemId);
        EXPECT_EQ(sim::CardModelFor(c.subsystemId).has_value(), c.listed);
        sim::CardConfig config;
        config.subsystemId = c.subsystemId;
        auto card = sim::Card::Create(config);
        EXPECT_EQ(card->PortCount(), c.ports);
        EXPECT_EQ(card->WindowLength(), c.windowLength);
        EXPECT_EQ(card->Config().portCount, c.ports);
    }
    sim::CardConfig config;
    config.subsystemId = 0x0A41;
    config.portCount = 2;
    config.windowLength = 1024;
    auto card = sim::Card::Create(config);
    EXPECT_EQ(card->PortCount(), 2u);
    EXPECT_EQ(card->WindowLength(), 1024u);
}

TEST(CardModel, EepromImagesCarryTheClockWhereTheDeviceIdLooks) {
    const sim::EepromImage low = sim::EepromWithClock(0x00E10000u | 0x1234u, 4);
    EXPECT_EQ(low[4], 0x1234);
    EXPECT_EQ(low[5], 0x00E1);
    EXPECT_EQ(low[6], 0);
    struct Case {
        uint16_t deviceId;
        uint32_t lowWord;
    };
    for (const Case& c : {Case{0x0152, 4}, Case{0x0154, 4}, Case{0x0158, 4}, Case{0x0252, 6},
                          Case{0x0254, 6}, Case{0x0258, 6}}) {
        const sim::EepromImage image = sim::EepromForDevice(c.deviceId, 0x00020010u);
        EXPECT_EQ(image[c.lowWord], 0x0010) << c.deviceId;
        EXPECT_EQ(image[c.lowWord + 1], 0x0002) << c.deviceId;
        EXPECT_EQ(image[c.lowWord == 4 ? 6 : 4], 0) << c.deviceId;
    }
    sim::CardConfig config;
    config.deviceId = 0x0258;
    config.clockRate = 1843200;
    EXPECT_EQ(sim::Card::Create(config)->Eeprom(), sim::EepromForDevice(0x0258, 1843200));
}

// A card on the bus at a fixed address, reached through a static translation.
class CardOnBus : public ::testing::Test {
  protected:
    void Build(uint16_t subsystemId) {
        static uint32_t serial = 0;
        ++serial;
        config_.subsystemId = subsystemId;
        config_.busAddress = 0xA0000000ull + serial * 0x10000ull;
        config_.irq = 200 + serial;
        card_ = sim::Card::Create(config_);
        card_->Attach();
        uint32_t space = plat::kAddressSpaceMemory;
        ASSERT_TRUE(plat::BusStaticTranslate(plat::kInterfaceTypePci, 0, config_.busAddress,
                                             card_->WindowLength(), &space, &base_));
        ASSERT_EQ(space, plat::kAddressSpaceMemory);
    }
    void SetUp() override { Build(0x0A41); }
    void TearDown() override {
        card_->Detach();
        EXPECT_FALSE(sim::IrqLevel(config_.irq));
    }
    plat::VirtAddr At(uint32_t offset) const { return base_ + offset; }
    plat::VirtAddr UartReg(uint32_t port, uint32_t reg) const {
        return At(sim::kCardPortStride * (port - 1) + reg);
    }

    sim::CardConfig config_;
    std::shared_ptr<sim::Card> card_;
    plat::VirtAddr base_ = 0;
};

TEST_F(CardOnBus, MarkersAreRecordedAndUnusedRegistersReadZero) {
    plat::WriteRegisterByte(At(0x90), 254);
    plat::WriteRegisterByte(At(0x93), 254);
    plat::WriteRegisterByte(At(0x90), 255);
    plat::WriteRegisterByte(At(0x90), 254);
    plat::WriteRegisterByte(At(0x90), 7);
    EXPECT_EQ(card_->PassMarkerHistory(), (std::vector<uint8_t>{254, 255, 254, 7}));
    EXPECT_EQ(card_->LastPassMarker(), 7);
    EXPECT_EQ(card_->LastMarker93(), 254);
    const sim::CardCounters c = card_->Counters();
    EXPECT_EQ(c.passMarkerWrites, 4u);
    EXPECT_EQ(c.passMarker255, 1u);
    EXPECT_EQ(c.passMarker254, 2u);
    EXPECT_EQ(c.marker93Writes, 1u);

    for (uint32_t offset : {0x82u, 0x83u, 0x85u, 0x87u, 0x88u, 0x8Au, 0x8Du, 0x8Fu, 0x91u, 0x92u}) {
        plat::WriteRegisterByte(At(offset), 0xA5);
        EXPECT_EQ(plat::ReadRegisterByte(At(offset)), 0) << std::hex << offset;
    }
    // The same offsets in another port's window belong to that UART, not to the block.
    plat::WriteRegisterByte(At(512 + 0x90), 1);
    EXPECT_EQ(card_->LastPassMarker(), 7);
    card_->ResetCounters();
    EXPECT_EQ(card_->Counters().passMarkerWrites, 0u);
    EXPECT_TRUE(card_->PassMarkerHistory().empty());
}

TEST_F(CardOnBus, ForcedStatusReadsBackAndDrivesTheLine) {
    EXPECT_EQ(plat::ReadRegisterByte(At(0x80)), 0);
    EXPECT_FALSE(sim::IrqLevel(config_.irq));
    card_->ForceStatus(0x05);
    EXPECT_EQ(plat::ReadRegisterByte(At(0x80)), 0x05);
    uint32_t word = 0;
    plat::ReadRegisterWords(At(0x80), &word, 1);
    EXPECT_EQ(word & 0xFF, 0x05u);
    EXPECT_TRUE(sim::IrqLevel(config_.irq));
    EXPECT_TRUE(card_->LineAsserted());
    plat::WriteRegisterByte(At(0x80), 0);  // read only
    EXPECT_EQ(card_->InterruptStatus(), 0x05);
    card_->ClearForcedStatus(0x01);
    EXPECT_TRUE(sim::IrqLevel(config_.irq));
    card_->ClearForcedStatus(0x04);
    EXPECT_FALSE(sim::IrqLevel(config_.irq));
    const sim::CardCounters c = card_->Counters();
    EXPECT_EQ(c.statusReads, 3u);  // two byte reads and one word read
    EXPECT_EQ(c.lineAssertions, 1u);

    // Off the bus the line is down whatever the status says.
    card_->ForceStatus(0x02);
    EXPECT_TRUE(sim::IrqLevel(config_.irq));
    card_->Detach();
    EXPECT_FALSE(sim::IrqLevel(config_.irq));
    card_->Attach();
    EXPECT_TRUE(sim::IrqLevel(config_.irq));
    card_->ClearForcedStatus(0x02);
}

TEST_F(CardOnBus, EachUartsInterruptSetsItsStatusBit) {
    for (uint32_t port = 1; port <= card_->PortCount(); ++port) {
        SCOPED_TRACE(port);
        const uint8_t bit = static_cast<uint8_t>(1u << (port - 1));
        // The transmitter is empty: enabling its interrupt raises it at once.
        plat::WriteRegisterByte(UartReg(port, sim::uart::kRegIer), sim::uart::kIerTransmitEmpty);
        ASSERT_TRUE(WaitUntil([&] { return card_->InterruptStatus() == bit; }));
        EXPECT_EQ(plat::ReadRegisterByte(At(0x80)), bit);
        EXPECT_TRUE(WaitUntil([&] { return sim::IrqLevel(config_.irq); }));
        // Reading IIR while the transmitter is the source clears it.
        EXPECT_EQ(plat::ReadRegisterByte(UartReg(port, sim::uart::kRegIir)) & sim::uart::kIirIdMask,
                  sim::uart::kIirTransmitEmpty);
        ASSERT_TRUE(WaitUntil([&] { return card_->InterruptStatus() == 0; }));
        EXPECT_TRUE(WaitUntil([&] { return !sim::IrqLevel(config_.irq); }));
        plat::WriteRegisterByte(UartReg(port, sim::uart::kRegIer), 0);
    }
}

TEST_F(CardOnBus, EightPortCardReportsItsLastPortInBit7) {
    card_->Detach();
    Build(0x0A42);
    plat::WriteRegisterByte(UartReg(8, sim::uart::kRegIer), sim::uart::kIerTransmitEmpty);
    ASSERT_TRUE(WaitUntil([&] { return card_->InterruptStatus() == 0x80; }));
    plat::WriteRegisterByte(UartReg(8, sim::uart::kRegIer), 0);
    EXPECT_TRUE(WaitUntil([&] { return card_->InterruptStatus() == 0; }));
}

TEST_F(CardOnBus, DelayTimerExpiresAfterItsCountUnlessToldNever) {
    plat::WriteRegisterByte(At(0x86), 50);
    plat::WriteRegisterByte(At(0x84), 7);
    EXPECT_EQ(plat::ReadRegisterByte(At(0x84)), 7);
    EXPECT_TRUE(WaitUntil([&] { return (plat::ReadRegisterByte(At(0x81)) & 7) == 7; }));
    plat::WriteRegisterByte(At(0x84), 5);
    EXPECT_EQ(card_->Counters().timerStarts, 1u);

    card_->SetTimerNeverExpires(true);
    plat::WriteRegisterByte(At(0x84), 7);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_NE(plat::ReadRegisterByte(At(0x81)) & 7, 7);
}

TEST_F(CardOnBus, EepromIsReadThroughTheControlRegister) {
    sim::EepromImage image{};
    for (uint32_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint16_t>(0x1111 * i + 7);
    card_->SetEeprom(image);
    zel::AdapterRegisters registers(At(0x80));
    zel::EepromReader reader(&registers);
    uint16_t words[64] = {};
    ASSERT_TRUE(reader.ReadWords(words, 64));
    for (uint32_t i = 0; i < 64; ++i) EXPECT_EQ(words[i], image[i]) << i;
    // Bits 4 to 6 read back as written, bit 7 is the data-out line.
    plat::WriteRegisterByte(At(0x8E), 0x70);
    EXPECT_EQ(plat::ReadRegisterByte(At(0x8E)) & 0x7F, 0x70);
    plat::WriteRegisterByte(At(0x8E), 0);
    EXPECT_GT(card_->Counters().eepromControlWrites, 64u * 25u);

    card_->SetTimerNeverExpires(true);
    zel::EepromReader stuck(&registers);
    EXPECT_FALSE(stuck.ReadWords(words, 1));
}

TEST_F(CardOnBus, PowerReachesOnlyThePortAtTheOffset) {
    plat::WriteRegisterByte(UartReg(1, sim::uart::kRegScr), 0x11);
    plat::WriteRegisterByte(UartReg(2, sim::uart::kRegScr), 0x22);
    EXPECT_TRUE(card_->SetPower(512, plat::D3));
    EXPECT_EQ(card_->UartOf(2).PowerState(), 3u);
    EXPECT_EQ(card_->UartOf(1).PowerState(), 0u);
    EXPECT_TRUE(card_->SetPower(512, plat::D0));
    EXPECT_NE(plat::ReadRegisterByte(UartReg(2, sim::uart::kRegScr)), 0x22);  // lost in D3
    EXPECT_EQ(plat::ReadRegisterByte(UartReg(1, sim::uart::kRegScr)), 0x11);
    EXPECT_FALSE(card_->SetPower(513, plat::D3));
    EXPECT_FALSE(card_->SetPower(512 * 4, plat::D3));
    EXPECT_FALSE(card_->SetPower(0, 5));
}

}  // namespace
