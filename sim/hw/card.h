// The multi-port serial card: PCI identity, a memory window with 2, 4 or 8 UARTs, the global
// registers (interrupt status, delay timer, EEPROM control, pass markers), a 64-word serial
// EEPROM and one interrupt line.
//
// Window layout: the UART of port n at 512 x (n - 1); the global registers at 0x80 .. 0x93
// (inside the first UART's 512 bytes, between its registers and its FIFO data window):
//   0x80 interrupt status  bit k = UART k+1 has an enabled interrupt pending (read only)
//   0x81 delay-timer status, 0x84 delay-timer control, 0x86 delay-timer count
//   0x8E EEPROM control    bit 4 clock, bit 5 chip select, bit 6 data in, bit 7 data out
//   0x90 pass marker       every write recorded
//   0x93 second marker     every write recorded
//   any other offset in the block reads 0 and ignores writes.
// A 32-bit read inside the block returns the four bytes from that offset, lowest first.
//
// The card is ONE bus target for the whole window. Its interrupt line (an IRQ of sim/irq) is
// asserted while any UART's interrupt output is asserted (or a forced status bit is set); the
// line is driven from the UART models' timing thread, never from a register access.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/bus/sim_bus.h"

namespace sim {

class Uart;  // the UART model (sim/hw/uart.h)

// Card variants by PCI subsystem ID: ports and memory window length.
struct CardModel {
    uint16_t subsystemId;
    uint32_t portCount;
    uint32_t windowLength;
};
// The model of a listed subsystem ID, or nothing for an unlisted one.
std::optional<CardModel> CardModelFor(uint16_t subsystemId);

constexpr uint32_t kCardPortStride = 512;  // UART n at kCardPortStride * (n - 1)
constexpr uint32_t kCardMaxPorts = 8;
constexpr uint32_t kCardEepromWords = 64;
constexpr uint32_t kCardDefaultClock = 14745600;  // Hz, UART clock and EEPROM clock words

// Global register offsets in the window.
constexpr uint32_t kCardRegInterruptStatus = 0x80;
constexpr uint32_t kCardRegTimerStatus = 0x81;
constexpr uint32_t kCardRegTimerControl = 0x84;
constexpr uint32_t kCardRegTimerCount = 0x86;
constexpr uint32_t kCardRegEepromControl = 0x8E;
constexpr uint32_t kCardRegPassMarker = 0x90;
constexpr uint32_t kCardRegMarker93 = 0x93;
constexpr uint32_t kCardRegBlockFirst = 0x80;
constexpr uint32_t kCardRegBlockLast = 0x93;

// EEPROM control register lines.
constexpr uint8_t kCardEepromClock = 0x10;
constexpr uint8_t kCardEepromSelect = 0x20;
constexpr uint8_t kCardEepromDataIn = 0x40;
constexpr uint8_t kCardEepromDataOut = 0x80;

using EepromImage = std::array<uint16_t, kCardEepromWords>;

// EEPROM contents carrying a clock rate: low half in word `lowWord`, high half in the next
// word (lowWord 4 for the device IDs 0x15x, 6 for 0x25x). Other words are 0.
EepromImage EepromWithClock(uint32_t clockRate, uint32_t lowWord);
// The same, with the word pair the given PCI device ID takes its clock from (w6/w7 for the
// 0x25x IDs, w4/w5 otherwise).
EepromImage EepromForDevice(uint16_t deviceId, uint32_t clockRate);

struct CardConfig {
    std::string name = "card";
    // Vendor IDs are carried into the device key but not read by the driver.
    uint16_t vendorId = 0;
    uint16_t deviceId = 0x0154;
    uint16_t subsystemVendorId = 0;
    uint16_t subsystemId = 0x0A41;
    // 0 = from the subsystem ID's model (CardModelFor); an unlisted ID without overrides
    // gets 2 ports and 1024 bytes, so that a card the driver refuses can still be built.
    uint32_t portCount = 0;
    uint32_t windowLength = 0;
    uint64_t busAddress = 0;  // where Attach places the window
    uint32_t irq = 0;         // the interrupt line the card drives (0 = none)
    // UART input clock (Hz) of every UART.
    uint32_t clockRate = kCardDefaultClock;
    // EEPROM contents; absent = EepromForDevice(deviceId, clockRate).
    std::optional<EepromImage> eeprom;
};

struct CardCounters {
    uint64_t statusReads = 0;       // reads of 0x80 (8- or 32-bit)
    uint64_t passMarkerWrites = 0;  // writes to 0x90
    uint64_t passMarker255 = 0;     // of which value 255
    uint64_t passMarker254 = 0;     // of which value 254
    uint64_t marker93Writes = 0;
    uint64_t eepromControlWrites = 0;
    uint64_t timerStarts = 0;     // 7 written to the timer control
    uint64_t lineAssertions = 0;  // deasserted -> asserted transitions of the interrupt line
    uint64_t accessesWhileGone = 0;  // register accesses after Vanish (reads and writes)
};

class Card : public BusTarget, public std::enable_shared_from_this<Card> {
  public:
    // Builds the card and its UARTs (not yet on the bus).
    static std::shared_ptr<Card> Create(const CardConfig& config);
    ~Card() override;

    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    const CardConfig& Config() const;  // with portCount and windowLength resolved
    uint32_t PortCount() const;
    uint32_t WindowLength() const;

    // Places the window at config.busAddress / takes it off the bus. Detach also deasserts
    // the interrupt line. Attach twice or Detach when not attached does nothing.
    void Attach();
    void Detach();
    bool Attached() const;

    // UART of port n (1 .. PortCount()), for wiring and test hooks.
    Uart& UartOf(uint32_t port);

    // The interrupt status as the driver reads it at 0x80 (no side effects, not counted).
    uint8_t InterruptStatus() const;
    bool LineAsserted() const;

    // Test hook: status bits set here read as set at 0x80 and hold the line asserted, on top
    // of what the UARTs report. Drives the line from the calling thread.
    void ForceStatus(uint8_t bits);
    void ClearForcedStatus(uint8_t bits);

    // Test hook: the card is pulled out of its slot while its window stays mapped. From now on
    // every register (UARTs and global block alike) reads all ones, writes are ignored, power
    // requests are refused and the interrupt line stays deasserted whatever the UARTs report.
    // There is no way back: a vanished card stays gone.
    void Vanish();
    bool Vanished() const;

    // EEPROM contents.
    void SetEeprom(const EepromImage& words);
    EepromImage Eeprom() const;
    // Test hook: the delay timer never reports expiry.
    void SetTimerNeverExpires(bool never);

    // Markers: last value written (0 before any write) and the most recent writes (up to 256).
    uint8_t LastPassMarker() const;
    uint8_t LastMarker93() const;
    std::vector<uint8_t> PassMarkerHistory() const;

    CardCounters Counters() const;
    void ResetCounters();

    // BusTarget.
    std::string Name() const override;
    uint8_t Read8(uint32_t offset) override;
    void Write8(uint32_t offset, uint8_t value) override;
    uint32_t Read32(uint32_t offset) override;
    void Write32(uint32_t offset, uint32_t value) override;
    // offset 512 x (n - 1): the power state of port n's UART.
    bool SetPower(uint32_t offset, uint32_t state) override;

    struct State;

  private:
    explicit Card(const CardConfig& config);
    std::unique_ptr<State> state_;
};

}  // namespace sim
