// The card's global registers (interrupt status, delay timer, EEPROM control, markers) and the
// software-driven reader of its three-wire serial EEPROM.
#pragma once

#include <cstdint>

#include "platform/types.h"
#include "support/object.h"

namespace zel {

// Delay-timer registers.
constexpr uint8_t kTimerCountPerDelay = 50;  // count written before each delay unit
constexpr uint8_t kTimerStart = 7;           // control: start the countdown
constexpr uint8_t kTimerStop = 5;            // control: stop the timer
constexpr uint8_t kTimerExpiredMask = 7;     // status: all three bits set once expired

// EEPROM control register lines. Bits 0-3 and 7 are never written as 1.
constexpr uint8_t kEepromClock = 0x10;
constexpr uint8_t kEepromChipSelect = 0x20;
constexpr uint8_t kEepromDataIn = 0x40;
constexpr uint8_t kEepromDataOut = 0x80;  // sampled, never driven
constexpr uint8_t kEepromDrivenLines = kEepromClock | kEepromChipSelect | kEepromDataIn;

// EEPROM commands: a start bit (the top bit, always 1) and a 2-bit operation, followed by a
// 6-bit word address, most significant bit first.
constexpr uint32_t kEepromOpcodeBits = 3;
constexpr uint32_t kEepromAddressBits = 6;
constexpr uint32_t kEepromWordBits = 16;
constexpr uint32_t kEepromWordCount = 64;
constexpr uint32_t kEepromOpRead = 6;          // 1 10
constexpr uint32_t kEepromOpWriteDisable = 4;  // 1 00, address 0

// Delay units around the lines: one clock pulse, and the pause after each word.
constexpr uint16_t kEepromClockDelay = 2;
constexpr uint16_t kEepromWordPause = 2;

// Table of the global register addresses, built from the address at which window offset 0x80
// is mapped.
class AdapterRegisters : public PlatformObject {
  public:
    static constexpr uint32_t kEntryCount = 19;
    // Entries with a use.
    static constexpr uint32_t kBlock = 0;
    static constexpr uint32_t kInterruptStatus = 1;  // bit k: port k+1 is interrupting
    static constexpr uint32_t kTimerStatus = 2;
    static constexpr uint32_t kTimerControl = 5;
    static constexpr uint32_t kTimerCount = 6;
    static constexpr uint32_t kEepromControl = 13;
    static constexpr uint32_t kPassMarker = 15;
    static constexpr uint32_t kMarker93 = 18;

    explicit AdapterRegisters(plat::VirtAddr base);

    // Address of an entry, 0 for an index past the table.
    plat::VirtAddr Entry(uint32_t index) const { return index < kEntryCount ? entries[index] : 0; }
    // A table whose first entry is 0 addresses nothing.
    plat::Bool IsValid() const { return entries[kBlock] != 0; }

    plat::VirtAddr InterruptStatus() const { return entries[kInterruptStatus]; }
    plat::VirtAddr TimerStatus() const { return entries[kTimerStatus]; }
    plat::VirtAddr TimerControl() const { return entries[kTimerControl]; }
    plat::VirtAddr TimerCount() const { return entries[kTimerCount]; }
    plat::VirtAddr EepromControl() const { return entries[kEepromControl]; }
    plat::VirtAddr PassMarker() const { return entries[kPassMarker]; }
    plat::VirtAddr Marker93() const { return entries[kMarker93]; }

  private:
    plat::VirtAddr entries[kEntryCount];
};

// Reads EEPROM words by driving the control register's lines. Created for one read.
//
// Each line change is made in a shadow byte owned by the read sequence and the whole shadow is
// then written; the register is read only to sample the data-out line. Every delay unit waits
// on the card's delay timer, and a timer that does not expire within kDelayPollLimit status
// reads fails the delay: the reader then stops, deselects the chip and reports the failure.
class EepromReader : public PlatformObject {
  public:
    static constexpr uint32_t kDelayPollLimit = 100000;  // status reads per delay unit

    explicit EepromReader(const AdapterRegisters* table);
    EepromReader(const EepromReader&) = delete;
    EepromReader& operator=(const EepromReader&) = delete;
    ~EepromReader();

    // Reads words 0 .. count-1 (count at most 64) into destination. False when count is out
    // of range, destination is null with count above 0, or a delay timed out.
    plat::Bool ReadWords(uint16_t* destination, uint32_t count);
    // Chip deselected, two idle clocks.
    void Standby(uint8_t* shadow);
    // Clocks out the 3-bit opcode and the 6-bit address; only read and write-disable are sent.
    void SendCommand(uint8_t* shadow, uint32_t opcode, uint32_t address);
    // Clocks in one 16-bit word, then pauses.
    uint16_t ReadWord(uint8_t* shadow);
    void ClockPulse(uint8_t* shadow);
    // Waits count timer periods; false when the timer did not expire (or an earlier delay of
    // this reader timed out, which makes the rest of the read pointless).
    plat::Bool Delay(uint16_t count);

    plat::Bool TimedOut() const { return timedOut; }

  private:
    void WriteShadow(uint8_t shadow) const;
    void SendBit(uint8_t* shadow, uint32_t bit);

    const AdapterRegisters* registers;
    plat::Bool timedOut = 0;
};

// Words holding the clock rate: the first 13 are read at adapter start.
constexpr uint32_t kClockRateWordCount = 13;
// The UART clock rate from the card's PCI device ID and its first 13 EEPROM words: words
// 5:4 for the device IDs 0x152, 0x154, 0x158; words 7:6 for 0x252, 0x254, 0x258. False for
// any other device ID (or null arguments).
plat::Bool SelectClockRate(uint32_t deviceId, const uint16_t* words, uint32_t* rate);

}  // namespace zel
