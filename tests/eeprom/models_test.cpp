#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "sim/hw/delay_timer.h"
#include "sim/hw/eeprom.h"

namespace sim {
namespace {

using namespace std::chrono_literals;

// Drives the chip's lines the way a controller does: data first, then a clock pulse.
class Wires {
  public:
    explicit Wires(SerialEeprom& chip) : chip(chip) {}
    void Select() { chip.Drive(true, false, false); }
    void Deselect() { chip.Drive(false, false, false); }
    void Bit(int bit) {
        chip.Drive(true, false, bit != 0);
        chip.Drive(true, true, bit != 0);
        chip.Drive(true, false, bit != 0);
    }
    void Bits(uint32_t value, int count) {
        for (int i = count - 1; i >= 0; --i) Bit((value >> i) & 1);
    }
    // Start bit, 2-bit opcode, 6-bit address.
    void Command(uint32_t opcode, uint32_t address) {
        Select();
        Bit(1);
        Bits(opcode, 2);
        Bits(address, 6);
    }
    uint16_t ClockInWord() {
        uint16_t word = 0;
        for (int i = 15; i >= 0; --i) {
            Bit(0);
            if (chip.DataOut()) word |= static_cast<uint16_t>(1u << i);
        }
        return word;
    }
    uint16_t Read(uint32_t address) {
        Command(0b10, address);
        const uint16_t word = ClockInWord();
        Deselect();
        return word;
    }
    void Write(uint32_t address, uint16_t value) {
        Command(0b01, address);
        Bits(value, 16);
        Deselect();
    }

  private:
    SerialEeprom& chip;
};

TEST(SerialEepromModel, ReadAnswersADummyZeroThenTheWordMsbFirst) {
    SerialEeprom chip;
    chip.SetWord(5, 0xA5C3);
    Wires wires(chip);
    wires.Command(0b10, 5);
    EXPECT_FALSE(chip.DataOut());  // the dummy bit
    EXPECT_EQ(wires.ClockInWord(), 0xA5C3);
    // Still selected: the next word follows.
    chip.SetWord(6, 0x0F0F);
    EXPECT_EQ(wires.ClockInWord(), 0x0F0F);
    wires.Deselect();
    EXPECT_FALSE(chip.DataOut());
    EXPECT_EQ(chip.ReadCommands(), 1u);
}

TEST(SerialEepromModel, LeadingZerosBeforeTheStartBitAreIgnored) {
    SerialEeprom chip;
    chip.SetWord(0x3F, 0x1234);
    Wires wires(chip);
    wires.Select();
    wires.Bits(0, 3);
    wires.Bit(1);
    wires.Bits(0b10, 2);
    wires.Bits(0x3F, 6);
    EXPECT_EQ(wires.ClockInWord(), 0x1234);
}

TEST(SerialEepromModel, WritesOnlyWhileEnabled) {
    SerialEeprom chip;
    Wires wires(chip);
    EXPECT_FALSE(chip.WriteEnabled());
    wires.Write(3, 0xBEEF);
    EXPECT_EQ(chip.Word(3), 0);

    wires.Command(0b00, 0b110000);  // enable writes
    wires.Deselect();
    EXPECT_TRUE(chip.WriteEnabled());
    wires.Write(3, 0xBEEF);
    EXPECT_EQ(chip.Word(3), 0xBEEF);
    EXPECT_EQ(wires.Read(3), 0xBEEF);
    wires.Command(0b11, 3);  // erase
    wires.Deselect();
    EXPECT_EQ(chip.Word(3), 0xFFFF);

    wires.Command(0b00, 0);  // disable writes
    wires.Deselect();
    EXPECT_FALSE(chip.WriteEnabled());
    EXPECT_EQ(chip.WriteDisableCommands(), 1u);
    wires.Write(3, 0x1111);
    wires.Command(0b11, 4);
    wires.Deselect();
    EXPECT_EQ(chip.Word(3), 0xFFFF);
    EXPECT_EQ(chip.Word(4), 0);
}

TEST(SerialEepromModel, DeselectingAbandonsACommand) {
    SerialEeprom chip;
    chip.SetWord(2, 0xFFFF);
    Wires wires(chip);
    wires.Select();
    wires.Bit(1);
    wires.Bits(0b10, 2);
    wires.Bits(0, 3);  // half an address
    wires.Deselect();
    // A fresh command decodes from its start bit.
    EXPECT_EQ(wires.Read(2), 0xFFFF);
}

TEST(SerialEepromModel, ForcedDataOut) {
    SerialEeprom chip;
    Wires wires(chip);
    chip.ForceDataOut(true);
    EXPECT_EQ(wires.Read(0), 0xFFFF);
    chip.ForceDataOut(false);
    chip.SetWord(0, 0xFFFF);
    EXPECT_EQ(wires.Read(0), 0x0000);
}

TEST(DelayTimerModel, ExpiresAfterCountPeriods) {
    DelayTimer timer(1ms);
    timer.WriteCount(20);
    const auto start = std::chrono::steady_clock::now();
    timer.WriteControl(DelayTimer::kStart);
    EXPECT_EQ(timer.ReadControl(), DelayTimer::kStart);
    while ((timer.ReadStatus() & 7) != 7) std::this_thread::yield();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    EXPECT_EQ(timer.ReadStatus(), DelayTimer::kExpired);  // stays expired
    timer.WriteControl(DelayTimer::kStop);
    EXPECT_EQ(timer.ReadStatus(), 0);
    EXPECT_FALSE(timer.Running());
    EXPECT_EQ(timer.Starts(), 1u);
}

TEST(DelayTimerModel, NotExpiredBeforeItsTime) {
    DelayTimer timer(1s);
    timer.WriteCount(200);
    EXPECT_EQ(timer.ReadStatus(), 0);  // not started
    timer.WriteControl(DelayTimer::kStart);
    EXPECT_EQ(timer.ReadStatus(), 0);
    EXPECT_TRUE(timer.Running());
}

TEST(DelayTimerModel, CountZeroExpiresAtOnce) {
    DelayTimer timer(1s);
    timer.WriteCount(0);
    timer.WriteControl(DelayTimer::kStart);
    EXPECT_EQ(timer.ReadStatus(), DelayTimer::kExpired);
}

TEST(DelayTimerModel, NeverExpiresWhenAskedTo) {
    DelayTimer timer(0ns);
    timer.SetNeverExpires(true);
    timer.WriteCount(1);
    timer.WriteControl(DelayTimer::kStart);
    std::this_thread::sleep_for(2ms);
    EXPECT_EQ(timer.ReadStatus(), 0);
    timer.SetNeverExpires(false);
    EXPECT_EQ(timer.ReadStatus(), DelayTimer::kExpired);
}

}  // namespace
}  // namespace sim
