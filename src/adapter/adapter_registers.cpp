#include "adapter/adapter_registers.h"

#include "platform/bus.h"

namespace zel {

namespace {

// Distance of each table entry from the block's start (window offset 0x80). Entry 0 and the
// interrupt status share the first byte; offsets 5 and 9 have no entry.
constexpr uint8_t kEntryOffsets[AdapterRegisters::kEntryCount] = {
    0, 0, 1, 2, 3, 4, 6, 7, 8, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
};

struct ClockWords {
    uint32_t deviceId;
    uint32_t lowWord;  // the high half is the next word
};
constexpr ClockWords kClockWords[] = {
    {0x152, 4}, {0x154, 4}, {0x158, 4}, {0x252, 6}, {0x254, 6}, {0x258, 6},
};

}  // namespace

AdapterRegisters::AdapterRegisters(plat::VirtAddr base) {
    for (uint32_t i = 0; i < kEntryCount; ++i) entries[i] = base + kEntryOffsets[i];
}

EepromReader::EepromReader(const AdapterRegisters* table) : registers(table) {}

EepromReader::~EepromReader() = default;

void EepromReader::WriteShadow(uint8_t shadow) const {
    plat::WriteRegisterByte(registers->EepromControl(), shadow & kEepromDrivenLines);
}

plat::Bool EepromReader::Delay(uint16_t count) {
    for (uint16_t unit = 0; unit < count; ++unit) {
        if (timedOut) return 0;
        plat::WriteRegisterByte(registers->TimerCount(), kTimerCountPerDelay);
        plat::WriteRegisterByte(registers->TimerControl(), kTimerStart);
        bool expired = false;
        for (uint32_t poll = 0; poll < kDelayPollLimit && !expired; ++poll) {
            expired = (plat::ReadRegisterByte(registers->TimerStatus()) & kTimerExpiredMask) ==
                      kTimerExpiredMask;
        }
        if (expired) (void)plat::ReadRegisterByte(registers->TimerControl());
        plat::WriteRegisterByte(registers->TimerControl(), kTimerStop);
        if (!expired) timedOut = 1;
    }
    return !timedOut;
}

void EepromReader::ClockPulse(uint8_t* shadow) {
    *shadow |= kEepromClock;
    WriteShadow(*shadow);
    Delay(kEepromClockDelay);
    *shadow &= static_cast<uint8_t>(~kEepromClock);
    WriteShadow(*shadow);
}

void EepromReader::SendBit(uint8_t* shadow, uint32_t bit) {
    if (bit != 0) {
        *shadow |= kEepromDataIn;
    } else {
        *shadow &= static_cast<uint8_t>(~kEepromDataIn);
    }
    WriteShadow(*shadow);
    ClockPulse(shadow);
}

void EepromReader::Standby(uint8_t* shadow) {
    *shadow &= static_cast<uint8_t>(~kEepromDrivenLines);
    WriteShadow(*shadow);
    ClockPulse(shadow);
    ClockPulse(shadow);
}

void EepromReader::SendCommand(uint8_t* shadow, uint32_t opcode, uint32_t address) {
    *shadow |= kEepromChipSelect;
    for (uint32_t bit = kEepromOpcodeBits; bit-- > 0;) SendBit(shadow, (opcode >> bit) & 1);
    for (uint32_t bit = kEepromAddressBits; bit-- > 0;) SendBit(shadow, (address >> bit) & 1);
    if (opcode == kEepromOpRead) {
        // The chip stays selected: the data word follows.
        *shadow |= kEepromDataIn;
        WriteShadow(*shadow);
    } else if (opcode == kEepromOpWriteDisable) {
        *shadow &= static_cast<uint8_t>(~kEepromChipSelect);
        *shadow |= kEepromDataIn;
        WriteShadow(*shadow);
        ClockPulse(shadow);
    }
}

uint16_t EepromReader::ReadWord(uint8_t* shadow) {
    uint16_t word = 0;
    for (uint32_t bit = kEepromWordBits; bit-- > 0;) {
        ClockPulse(shadow);
        if (plat::ReadRegisterByte(registers->EepromControl()) & kEepromDataOut) {
            word |= static_cast<uint16_t>(1u << bit);
        }
    }
    Delay(kEepromWordPause);
    return word;
}

plat::Bool EepromReader::ReadWords(uint16_t* destination, uint32_t count) {
    if (count > kEepromWordCount || (destination == nullptr && count != 0)) return 0;
    uint8_t shadow = 0;
    Standby(&shadow);
    SendCommand(&shadow, kEepromOpWriteDisable, 0);
    for (uint32_t i = 0; i < count && !timedOut; ++i) {
        SendCommand(&shadow, kEepromOpRead, i);
        const uint16_t word = ReadWord(&shadow);
        shadow &= static_cast<uint8_t>(~kEepromChipSelect);
        WriteShadow(shadow);
        destination[i] = word;
    }
    if (timedOut) {
        // Whatever step the timer stopped, the chip is left deselected.
        shadow &= static_cast<uint8_t>(~kEepromChipSelect);
        WriteShadow(shadow);
        return 0;
    }
    return 1;
}

plat::Bool SelectClockRate(uint32_t deviceId, const uint16_t* words, uint32_t* rate) {
    if (words == nullptr || rate == nullptr) return 0;
    for (const ClockWords& entry : kClockWords) {
        if (entry.deviceId == deviceId) {
            *rate = (static_cast<uint32_t>(words[entry.lowWord + 1]) << 16) + words[entry.lowWord];
            return 1;
        }
    }
    return 0;
}

}  // namespace zel
