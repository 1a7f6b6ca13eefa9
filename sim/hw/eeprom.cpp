#include "sim/hw/eeprom.h"

namespace sim {

namespace {
constexpr uint32_t kOpcodeBits = 2;
constexpr uint32_t kAddressBits = 6;
constexpr uint32_t kDataBits = 16;
constexpr uint32_t kAddressMask = SerialEeprom::kWordCount - 1;

constexpr uint32_t kOpExtended = 0;  // the address's top two bits select the operation
constexpr uint32_t kOpWrite = 1;
constexpr uint32_t kOpRead = 2;
constexpr uint32_t kOpErase = 3;
constexpr uint32_t kExtWriteDisable = 0;
constexpr uint32_t kExtWriteAll = 1;
constexpr uint32_t kExtEraseAll = 2;
constexpr uint32_t kExtWriteEnable = 3;
}  // namespace

SerialEeprom::SerialEeprom() = default;

SerialEeprom::SerialEeprom(const Image& contents) : words_(contents) {}

void SerialEeprom::SetContents(const Image& contents) {
    std::lock_guard lock(mutex_);
    words_ = contents;
}

SerialEeprom::Image SerialEeprom::Contents() const {
    std::lock_guard lock(mutex_);
    return words_;
}

void SerialEeprom::SetWord(uint32_t address, uint16_t value) {
    std::lock_guard lock(mutex_);
    words_[address & kAddressMask] = value;
}

uint16_t SerialEeprom::Word(uint32_t address) const {
    std::lock_guard lock(mutex_);
    return words_[address & kAddressMask];
}

void SerialEeprom::Drive(bool chipSelect, bool clock, bool dataIn) {
    std::lock_guard lock(mutex_);
    const bool rising = clock && !clock_;
    clock_ = clock;
    if (!chipSelect) {
        if (selected_) ResetLocked();
        selected_ = false;
        return;
    }
    selected_ = true;
    if (rising) ClockBitLocked(dataIn);
}

bool SerialEeprom::DataOut() const {
    std::lock_guard lock(mutex_);
    return forcedDataOut_.value_or(dataOut_);
}

bool SerialEeprom::WriteEnabled() const {
    std::lock_guard lock(mutex_);
    return writeEnabled_;
}

void SerialEeprom::ForceDataOut(std::optional<bool> level) {
    std::lock_guard lock(mutex_);
    forcedDataOut_ = level;
}

uint64_t SerialEeprom::ReadCommands() const {
    std::lock_guard lock(mutex_);
    return readCommands_;
}

uint64_t SerialEeprom::WriteDisableCommands() const {
    std::lock_guard lock(mutex_);
    return writeDisableCommands_;
}

void SerialEeprom::ResetLocked() {
    phase_ = Phase::Idle;
    shift_ = 0;
    bitsIn_ = 0;
    bitsOut_ = 0;
    writeAll_ = false;
    dataOut_ = false;
}

void SerialEeprom::ClockBitLocked(bool bit) {
    switch (phase_) {
        case Phase::Idle:
            if (bit) {
                phase_ = Phase::Opcode;
                shift_ = 0;
                bitsIn_ = 0;
            }
            return;
        case Phase::Opcode:
            shift_ = (shift_ << 1) | (bit ? 1 : 0);
            if (++bitsIn_ == kOpcodeBits) {
                opcode_ = shift_;
                phase_ = Phase::Address;
                shift_ = 0;
                bitsIn_ = 0;
            }
            return;
        case Phase::Address:
            shift_ = (shift_ << 1) | (bit ? 1 : 0);
            if (++bitsIn_ == kAddressBits) {
                address_ = shift_;
                ExecuteLocked();
            }
            return;
        case Phase::ReadOut:
            if (bitsOut_ == kDataBits) {
                // Sequential read: the next word follows without a dummy bit.
                address_ = (address_ + 1) & kAddressMask;
                outWord_ = words_[address_];
                bitsOut_ = 0;
            }
            dataOut_ = (outWord_ >> (kDataBits - 1 - bitsOut_)) & 1;
            ++bitsOut_;
            return;
        case Phase::WriteIn:
            shift_ = (shift_ << 1) | (bit ? 1 : 0);
            if (++bitsIn_ == kDataBits) {
                if (writeEnabled_) {
                    if (writeAll_) {
                        words_.fill(static_cast<uint16_t>(shift_));
                    } else {
                        words_[address_] = static_cast<uint16_t>(shift_);
                    }
                }
                phase_ = Phase::Done;
            }
            return;
        case Phase::Done:
            return;
    }
}

void SerialEeprom::ExecuteLocked() {
    shift_ = 0;
    bitsIn_ = 0;
    phase_ = Phase::Done;
    switch (opcode_) {
        case kOpRead:
            ++readCommands_;
            outWord_ = words_[address_];
            bitsOut_ = 0;
            dataOut_ = false;  // the dummy bit
            phase_ = Phase::ReadOut;
            return;
        case kOpWrite:
            writeAll_ = false;
            phase_ = Phase::WriteIn;
            return;
        case kOpErase:
            if (writeEnabled_) words_[address_] = 0xFFFF;
            return;
        case kOpExtended:
            switch (address_ >> (kAddressBits - 2)) {
                case kExtWriteDisable:
                    ++writeDisableCommands_;
                    writeEnabled_ = false;
                    return;
                case kExtWriteEnable:
                    writeEnabled_ = true;
                    return;
                case kExtEraseAll:
                    if (writeEnabled_) words_.fill(0xFFFF);
                    return;
                case kExtWriteAll:
                    writeAll_ = true;
                    phase_ = Phase::WriteIn;
                    return;
            }
            return;
    }
}

}  // namespace sim
