// Register map and bit names of a 16550-compatible UART as this card carries it. Both the UART
// port and the UART model use these names; no other place spells a UART register bit.
#pragma once

#include <cstdint>

namespace zel {

// Register indices; register k lies at the UART's base + k × stride.
constexpr uint32_t kUartRegData = 0;  // RBR (read) / THR (write); DLL while the latch is open
constexpr uint32_t kUartRegIer = 1;   // IER; DLM while the latch is open
constexpr uint32_t kUartRegIir = 2;   // IIR (read)
constexpr uint32_t kUartRegFcr = 2;   // FCR (write only)
constexpr uint32_t kUartRegLcr = 3;
constexpr uint32_t kUartRegMcr = 4;
constexpr uint32_t kUartRegLsr = 5;
constexpr uint32_t kUartRegMsr = 6;
constexpr uint32_t kUartRegScr = 7;
constexpr uint32_t kUartRegisterCount = 8;

// The card's additions in each UART window, at fixed byte offsets whatever the stride.
constexpr uint32_t kUartTxFifoLevelOffset = 10;  // bytes waiting in the transmit FIFO
constexpr uint32_t kUartRxFifoLevelOffset = 11;  // bytes waiting in the receive FIFO
constexpr uint32_t kUartFifoWindowOffset = 256;  // FIFO data window
constexpr uint32_t kUartFifoWindowLength = 64;
constexpr uint32_t kUartFifoDepth = 64;

// IER: interrupt enables.
constexpr uint8_t kIerReceiveData = 0x01;
constexpr uint8_t kIerTransmitEmpty = 0x02;
constexpr uint8_t kIerLineStatus = 0x04;
constexpr uint8_t kIerModemStatus = 0x08;
constexpr uint8_t kIerAll = kIerReceiveData | kIerTransmitEmpty | kIerLineStatus | kIerModemStatus;

// IIR: interrupt identification. Bits 0-3 carry the source; bit 0 set = nothing pending.
constexpr uint8_t kIirNoInterrupt = 0x01;
constexpr uint8_t kIirSourceMask = 0x0F;
constexpr uint8_t kIirModemStatus = 0x00;
constexpr uint8_t kIirTransmitEmpty = 0x02;
constexpr uint8_t kIirReceiveData = 0x04;
constexpr uint8_t kIirLineStatus = 0x06;
constexpr uint8_t kIirCharacterTimeout = 0x0C;
constexpr uint8_t kIirFifosEnabled = 0xC0;  // both bits read 1 while the FIFOs are on

// FCR: FIFO control (write only, so the register object keeps a shadow).
constexpr uint8_t kFcrFifoEnable = 0x01;
constexpr uint8_t kFcrReceiveReset = 0x02;
constexpr uint8_t kFcrTransmitReset = 0x04;
constexpr uint8_t kFcrDmaMode = 0x08;
constexpr uint8_t kFcrTriggerMask = 0xC0;
constexpr uint8_t kFcrTrigger1 = 0x00;
constexpr uint8_t kFcrTrigger4 = 0x40;
constexpr uint8_t kFcrTrigger8 = 0x80;
constexpr uint8_t kFcrTrigger14 = 0xC0;

// LCR: line control.
constexpr uint8_t kLcrWordLengthMask = 0x03;
constexpr uint8_t kLcrWordLength5 = 0x00;
constexpr uint8_t kLcrWordLength6 = 0x01;
constexpr uint8_t kLcrWordLength7 = 0x02;
constexpr uint8_t kLcrWordLength8 = 0x03;
constexpr uint8_t kLcrTwoStopBits = 0x04;  // 1.5 stop bits with five data bits
constexpr uint8_t kLcrParityMask = 0x38;
constexpr uint8_t kLcrParityEnable = 0x08;
constexpr uint8_t kLcrEvenParitySelect = 0x10;
constexpr uint8_t kLcrStickParity = 0x20;
// The five parity settings of bits 3-5.
constexpr uint8_t kLcrParityNone = 0x00;
constexpr uint8_t kLcrParityOdd = kLcrParityEnable;
constexpr uint8_t kLcrParityEven = kLcrParityEnable | kLcrEvenParitySelect;
constexpr uint8_t kLcrParityMark = kLcrParityEnable | kLcrStickParity;
constexpr uint8_t kLcrParitySpace = kLcrParityEnable | kLcrEvenParitySelect | kLcrStickParity;
constexpr uint8_t kLcrBreak = 0x40;
constexpr uint8_t kLcrDivisorLatch = 0x80;

// MCR: modem control.
constexpr uint8_t kMcrDtr = 0x01;
constexpr uint8_t kMcrRts = 0x02;
constexpr uint8_t kMcrOut1 = 0x04;
constexpr uint8_t kMcrOut2 = 0x08;  // gates the UART's interrupt output
constexpr uint8_t kMcrLoopback = 0x10;

// LSR: line status. Bits 1-4 clear when LSR is read.
constexpr uint8_t kLsrDataReady = 0x01;
constexpr uint8_t kLsrOverrunError = 0x02;
constexpr uint8_t kLsrParityError = 0x04;
constexpr uint8_t kLsrFramingError = 0x08;
constexpr uint8_t kLsrBreakInterrupt = 0x10;
constexpr uint8_t kLsrTransmitHoldingEmpty = 0x20;
constexpr uint8_t kLsrTransmitterEmpty = 0x40;
constexpr uint8_t kLsrFifoError = 0x80;
constexpr uint8_t kLsrErrorMask =
    kLsrOverrunError | kLsrParityError | kLsrFramingError | kLsrBreakInterrupt;

// MSR: modem status. Bits 0-3 are change flags, cleared when MSR is read.
constexpr uint8_t kMsrCtsChanged = 0x01;
constexpr uint8_t kMsrDsrChanged = 0x02;
constexpr uint8_t kMsrRingTrailingEdge = 0x04;
constexpr uint8_t kMsrDcdChanged = 0x08;
constexpr uint8_t kMsrChangeMask = 0x0F;
constexpr uint8_t kMsrCts = 0x10;
constexpr uint8_t kMsrDsr = 0x20;
constexpr uint8_t kMsrRing = 0x40;
constexpr uint8_t kMsrDcd = 0x80;

// The divisor latch halves.
constexpr uint8_t DivisorLow(uint16_t divisor) {
    return static_cast<uint8_t>(divisor & 0xFF);
}
constexpr uint8_t DivisorHigh(uint16_t divisor) {
    return static_cast<uint8_t>(divisor >> 8);
}
constexpr uint16_t DivisorFromLatch(uint8_t low, uint8_t high) {
    return static_cast<uint16_t>(low | (high << 8));
}

}  // namespace zel
