// A 64-word three-wire serial EEPROM of 16-bit words, driven through its chip select, clock
// and data-in lines, answering on its data-out line.
//
// Commands, clocked in on rising clock edges while selected, most significant bit first: a
// start bit (leading zeros are ignored), a 2-bit opcode and a 6-bit address.
//   10 read         the data-out line gives a zero dummy bit at once, then one data bit per
//                   rising clock, 16 per word, continuing with the next word while selected
//   01 write        16 data bits follow; written only while writes are enabled
//   11 erase        the word becomes 0xFFFF (writes enabled only)
//   00 + address 11xxxx  enable writes;  00xxxx  disable writes (the power-up state)
//   00 + address 10xxxx  erase all;      01xxxx  write all (16 data bits follow)
// Deselecting ends any command. While not reading, the data-out line reads 0.
// Thread-safe; knows nothing of the bus (the card model maps its control register here).
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>

namespace sim {

class SerialEeprom {
  public:
    static constexpr uint32_t kWordCount = 64;
    using Image = std::array<uint16_t, kWordCount>;

    SerialEeprom();
    explicit SerialEeprom(const Image& contents);

    void SetContents(const Image& contents);
    Image Contents() const;
    void SetWord(uint32_t address, uint16_t value);  // address taken modulo 64
    uint16_t Word(uint32_t address) const;

    // Sets the three input lines at once, as one control register write does; a rising
    // clock edge while selected clocks one bit.
    void Drive(bool chipSelect, bool clock, bool dataIn);
    bool DataOut() const;
    bool WriteEnabled() const;

    // Test hook: the data-out line reads this level whatever the chip does (a missing or
    // broken chip); nothing restores normal behaviour.
    void ForceDataOut(std::optional<bool> level);

    // Commands decoded since construction, for tests.
    uint64_t ReadCommands() const;
    uint64_t WriteDisableCommands() const;

  private:
    enum class Phase { Idle, Opcode, Address, ReadOut, WriteIn, Done };

    void ClockBitLocked(bool bit);
    void ExecuteLocked();
    void ResetLocked();

    mutable std::mutex mutex_;
    Image words_{};
    bool writeEnabled_ = false;
    std::optional<bool> forcedDataOut_;
    // Line and decoder state, guarded by mutex_.
    bool selected_ = false;
    bool clock_ = false;
    bool dataOut_ = false;
    Phase phase_ = Phase::Idle;
    uint32_t shift_ = 0;
    uint32_t bitsIn_ = 0;
    uint32_t opcode_ = 0;
    uint32_t address_ = 0;
    bool writeAll_ = false;
    uint16_t outWord_ = 0;
    uint32_t bitsOut_ = 0;
    uint64_t readCommands_ = 0;
    uint64_t writeDisableCommands_ = 0;
};

}  // namespace sim
