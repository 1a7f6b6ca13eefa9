// Register map of the simulated 16550 UART: offsets within one UART's window and every bit the
// model implements. The model and its tests use these names; the driver has its own.
#pragma once

#include <cstdint>

namespace sim::uart {

// Register indices; register k lies at k x stride in the window.
constexpr uint32_t kRegData = 0;  // RBR (read) / THR (write); DLL while LCR bit 7 is set
constexpr uint32_t kRegIer = 1;   // IER; DLM while LCR bit 7 is set
constexpr uint32_t kRegIir = 2;   // IIR (read) / FCR (write)
constexpr uint32_t kRegFcr = 2;
constexpr uint32_t kRegLcr = 3;
constexpr uint32_t kRegMcr = 4;
constexpr uint32_t kRegLsr = 5;
constexpr uint32_t kRegMsr = 6;
constexpr uint32_t kRegScr = 7;
constexpr uint32_t kRegisterCount = 8;

// Window layout beyond the eight registers (byte offsets, not scaled by the stride).
constexpr uint32_t kTxLevelOffset = 10;  // bytes in the transmit FIFO, read only
constexpr uint32_t kRxLevelOffset = 11;  // bytes in the receive FIFO, read only
constexpr uint32_t kFifoWindowOffset = 256;
constexpr uint32_t kFifoWindowLength = 64;
constexpr uint32_t kWindowLength = 512;
constexpr uint32_t kFifoDepth = 64;

// IER.
constexpr uint8_t kIerReceivedData = 0x01;  // also enables the character time-out
constexpr uint8_t kIerTransmitEmpty = 0x02;
constexpr uint8_t kIerLineStatus = 0x04;
constexpr uint8_t kIerModemStatus = 0x08;
constexpr uint8_t kIerWritable = 0x0F;

// IIR.
constexpr uint8_t kIirNonePending = 0x01;
constexpr uint8_t kIirIdMask = 0x0F;
constexpr uint8_t kIirModemStatus = 0x00;
constexpr uint8_t kIirTransmitEmpty = 0x02;
constexpr uint8_t kIirReceivedData = 0x04;
constexpr uint8_t kIirLineStatus = 0x06;
constexpr uint8_t kIirCharTimeout = 0x0C;
constexpr uint8_t kIirFifosOn = 0xC0;

// FCR.
constexpr uint8_t kFcrEnable = 0x01;
constexpr uint8_t kFcrRxReset = 0x02;
constexpr uint8_t kFcrTxReset = 0x04;
constexpr uint8_t kFcrDmaMode = 0x08;
constexpr uint8_t kFcrTriggerMask = 0xC0;
constexpr uint8_t kFcrTrigger1 = 0x00;
constexpr uint8_t kFcrTrigger4 = 0x40;
constexpr uint8_t kFcrTrigger8 = 0x80;
constexpr uint8_t kFcrTrigger14 = 0xC0;

// LCR.
constexpr uint8_t kLcrWordLengthMask = 0x03;  // 0..3 = 5..8 data bits
constexpr uint8_t kLcrStopBits = 0x04;        // 1.5 stop bits with 5 data bits, else 2
constexpr uint8_t kLcrParityEnable = 0x08;
constexpr uint8_t kLcrEvenParity = 0x10;
constexpr uint8_t kLcrStickParity = 0x20;
constexpr uint8_t kLcrParityMask = 0x38;
constexpr uint8_t kLcrParityOdd = 0x08;
constexpr uint8_t kLcrParityEven = 0x18;
constexpr uint8_t kLcrParityMark = 0x28;
constexpr uint8_t kLcrParitySpace = 0x38;
constexpr uint8_t kLcrBreak = 0x40;
constexpr uint8_t kLcrDlab = 0x80;
constexpr uint8_t kLcr8N1 = 0x03;

// MCR.
constexpr uint8_t kMcrDtr = 0x01;
constexpr uint8_t kMcrRts = 0x02;
constexpr uint8_t kMcrOut1 = 0x04;
constexpr uint8_t kMcrOut2 = 0x08;
constexpr uint8_t kMcrLoop = 0x10;
constexpr uint8_t kMcrWritable = 0x1F;

// LSR.
constexpr uint8_t kLsrDataReady = 0x01;
constexpr uint8_t kLsrOverrun = 0x02;
constexpr uint8_t kLsrParityError = 0x04;
constexpr uint8_t kLsrFramingError = 0x08;
constexpr uint8_t kLsrBreak = 0x10;
constexpr uint8_t kLsrThrEmpty = 0x20;
constexpr uint8_t kLsrTxEmpty = 0x40;
constexpr uint8_t kLsrFifoError = 0x80;
constexpr uint8_t kLsrCharErrors = kLsrParityError | kLsrFramingError | kLsrBreak;
constexpr uint8_t kLsrLineErrors = kLsrOverrun | kLsrCharErrors;  // cleared by reading LSR

// MSR.
constexpr uint8_t kMsrDeltaCts = 0x01;
constexpr uint8_t kMsrDeltaDsr = 0x02;
constexpr uint8_t kMsrTrailingRi = 0x04;
constexpr uint8_t kMsrDeltaDcd = 0x08;
constexpr uint8_t kMsrDeltaMask = 0x0F;
constexpr uint8_t kMsrCts = 0x10;
constexpr uint8_t kMsrDsr = 0x20;
constexpr uint8_t kMsrRi = 0x40;
constexpr uint8_t kMsrDcd = 0x80;
constexpr uint8_t kMsrLineMask = 0xF0;

// Register contents at power-on and after D3/D4, as a 16550 has them at reset. The divisor
// latch is not defined by the chip; the model starts it at 0, and with divisor 0 the line does
// not run (nothing is sent, nothing is received, no time-out).
constexpr uint8_t kResetIer = 0x00;
constexpr uint8_t kResetIir = kIirNonePending;
constexpr uint8_t kResetLcr = 0x00;
constexpr uint8_t kResetMcr = 0x00;
constexpr uint8_t kResetLsr = kLsrThrEmpty | kLsrTxEmpty;
constexpr uint8_t kResetScr = 0x00;
constexpr uint16_t kResetDivisor = 0;

}  // namespace sim::uart
