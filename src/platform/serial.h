// Serial records, control codes and bit values shared by the driver and its applications.
// Every record is little-endian with the exact layout given; they cross IOControl unchanged.
#pragma once

#include <cstddef>

#include "platform/types.h"

namespace plat {

// ---------------------------------------------------------------------------------------------
// Settings record (28 bytes).
struct Dcb {
    uint32_t DCBlength;  // 28
    uint32_t BaudRate;
    uint32_t flags;  // bit table below
    uint16_t wReserved;
    uint16_t XonLim;
    uint16_t XoffLim;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    uint16_t wReserved1;
};
static_assert(sizeof(Dcb) == 28);
static_assert(offsetof(Dcb, XonLim) == 14 && offsetof(Dcb, ByteSize) == 18);
static_assert(offsetof(Dcb, XonChar) == 21 && offsetof(Dcb, wReserved1) == 26);

// Dcb::flags
constexpr uint32_t kDcbBinary = 1u << 0;
constexpr uint32_t kDcbParity = 1u << 1;
constexpr uint32_t kDcbOutxCtsFlow = 1u << 2;
constexpr uint32_t kDcbOutxDsrFlow = 1u << 3;
constexpr uint32_t kDcbDtrControlShift = 4;
constexpr uint32_t kDcbDtrControlMask = 3u << kDcbDtrControlShift;
constexpr uint32_t kDcbDsrSensitivity = 1u << 6;
constexpr uint32_t kDcbTxContinueOnXoff = 1u << 7;
constexpr uint32_t kDcbOutX = 1u << 8;
constexpr uint32_t kDcbInX = 1u << 9;
constexpr uint32_t kDcbErrorChar = 1u << 10;
constexpr uint32_t kDcbNull = 1u << 11;
constexpr uint32_t kDcbRtsControlShift = 12;
constexpr uint32_t kDcbRtsControlMask = 3u << kDcbRtsControlShift;
constexpr uint32_t kDcbAbortOnError = 1u << 14;

constexpr uint32_t kDtrControlDisable = 0;
constexpr uint32_t kDtrControlEnable = 1;
constexpr uint32_t kDtrControlHandshake = 2;
constexpr uint32_t kRtsControlDisable = 0;
constexpr uint32_t kRtsControlEnable = 1;
constexpr uint32_t kRtsControlHandshake = 2;
constexpr uint32_t kRtsControlToggle = 3;

inline uint32_t DtrControl(uint32_t flags) {
    return (flags & kDcbDtrControlMask) >> kDcbDtrControlShift;
}
inline uint32_t RtsControl(uint32_t flags) {
    return (flags & kDcbRtsControlMask) >> kDcbRtsControlShift;
}
inline uint32_t WithDtrControl(uint32_t flags, uint32_t mode) {
    return (flags & ~kDcbDtrControlMask) | (mode << kDcbDtrControlShift);
}
inline uint32_t WithRtsControl(uint32_t flags, uint32_t mode) {
    return (flags & ~kDcbRtsControlMask) | (mode << kDcbRtsControlShift);
}

// Dcb::Parity and Dcb::StopBits codes.
constexpr uint8_t kNoParity = 0, kOddParity = 1, kEvenParity = 2, kMarkParity = 3,
                  kSpaceParity = 4;
constexpr uint8_t kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2;

// ---------------------------------------------------------------------------------------------
// Time-outs record (20 bytes), milliseconds.
struct CommTimeouts {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};
static_assert(sizeof(CommTimeouts) == 20);
constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------------------------
// Status record (16 bytes) of IOCTL_SERIAL_GET_COMMSTATUS.
struct ComStatRecord {
    uint32_t flags;  // bit table below
    uint32_t cbInQue;
    uint32_t cbOutQue;
};
struct SerialDevStatus {
    uint32_t Errors;  // CE_* bits
    ComStatRecord ComStat;
};
static_assert(sizeof(SerialDevStatus) == 16);
constexpr uint32_t kComStatCtsHold = 1u << 0;
constexpr uint32_t kComStatDsrHold = 1u << 1;
constexpr uint32_t kComStatRlsdHold = 1u << 2;
constexpr uint32_t kComStatXoffHold = 1u << 3;
constexpr uint32_t kComStatXoffSent = 1u << 4;
constexpr uint32_t kComStatEof = 1u << 5;
constexpr uint32_t kComStatTxim = 1u << 6;

// ---------------------------------------------------------------------------------------------
// Properties record (64 bytes).
struct CommProp {
    uint16_t wPacketLength;
    uint16_t wPacketVersion;
    uint32_t dwServiceMask;
    uint32_t dwReserved1;
    uint32_t dwMaxTxQueue;
    uint32_t dwMaxRxQueue;
    uint32_t dwMaxBaud;
    uint32_t dwProvSubType;
    uint32_t dwProvCapabilities;
    uint32_t dwSettableParams;
    uint32_t dwSettableBaud;
    uint16_t wSettableData;
    uint16_t wSettableStopParity;
    uint32_t dwCurrentTxQueue;
    uint32_t dwCurrentRxQueue;
    uint32_t dwProvSpec1;
    uint32_t dwProvSpec2;
    uint16_t wcProvChar[2];
};
static_assert(sizeof(CommProp) == 64);
static_assert(offsetof(CommProp, wSettableData) == 40 && offsetof(CommProp, wcProvChar) == 60);

// ---------------------------------------------------------------------------------------------
// Power capabilities record (48 bytes).
struct PowerCapabilities {
    uint8_t DeviceDx;
    uint8_t WakeFromDx;
    uint8_t InrushDx;
    uint8_t reserved;
    uint32_t Power[5];
    uint32_t Latency[5];
    uint32_t Flags;
};
static_assert(sizeof(PowerCapabilities) == 48);

// ---------------------------------------------------------------------------------------------
// Serial control codes.
constexpr uint32_t IOCTL_SERIAL_SET_BREAK_ON = 0x1B0004;
constexpr uint32_t IOCTL_SERIAL_SET_BREAK_OFF = 0x1B0008;
constexpr uint32_t IOCTL_SERIAL_SET_DTR = 0x1B000C;
constexpr uint32_t IOCTL_SERIAL_CLR_DTR = 0x1B0010;
constexpr uint32_t IOCTL_SERIAL_SET_RTS = 0x1B0014;
constexpr uint32_t IOCTL_SERIAL_CLR_RTS = 0x1B0018;
constexpr uint32_t IOCTL_SERIAL_SET_XOFF = 0x1B001C;
constexpr uint32_t IOCTL_SERIAL_SET_XON = 0x1B0020;
constexpr uint32_t IOCTL_SERIAL_GET_WAIT_MASK = 0x1B0024;
constexpr uint32_t IOCTL_SERIAL_SET_WAIT_MASK = 0x1B0028;
constexpr uint32_t IOCTL_SERIAL_WAIT_ON_MASK = 0x1B002C;
constexpr uint32_t IOCTL_SERIAL_GET_COMMSTATUS = 0x1B0030;
constexpr uint32_t IOCTL_SERIAL_GET_MODEMSTATUS = 0x1B0034;
constexpr uint32_t IOCTL_SERIAL_GET_PROPERTIES = 0x1B0038;
constexpr uint32_t IOCTL_SERIAL_SET_TIMEOUTS = 0x1B003C;
constexpr uint32_t IOCTL_SERIAL_GET_TIMEOUTS = 0x1B0040;
constexpr uint32_t IOCTL_SERIAL_PURGE = 0x1B0044;
constexpr uint32_t IOCTL_SERIAL_SET_QUEUE_SIZE = 0x1B0048;
constexpr uint32_t IOCTL_SERIAL_IMMEDIATE_CHAR = 0x1B004C;
constexpr uint32_t IOCTL_SERIAL_GET_DCB = 0x1B0050;
constexpr uint32_t IOCTL_SERIAL_SET_DCB = 0x1B0054;
constexpr uint32_t IOCTL_SERIAL_ENABLE_IR = 0x1B0058;
constexpr uint32_t IOCTL_SERIAL_DISABLE_IR = 0x1B005C;
// Sent when the calling process is exiting.
constexpr uint32_t IOCTL_PROCESS_EXITING = 0x010303FF;

// Power-management control codes.
constexpr uint32_t IOCTL_POWER_CAPABILITIES = 0x00321000;
constexpr uint32_t IOCTL_POWER_GET = 0x00321004;
constexpr uint32_t IOCTL_POWER_SET = 0x00321008;
constexpr uint32_t IOCTL_POWER_QUERY = 0x0032100C;
constexpr uint32_t IOCTL_REGISTER_POWER_RELATIONSHIP = 0x00321018;

// Comm events.
constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t EV_RXFLAG = 0x0002;
constexpr uint32_t EV_TXEMPTY = 0x0004;
constexpr uint32_t EV_CTS = 0x0008;
constexpr uint32_t EV_DSR = 0x0010;
constexpr uint32_t EV_RLSD = 0x0020;
constexpr uint32_t EV_BREAK = 0x0040;
constexpr uint32_t EV_ERR = 0x0080;
constexpr uint32_t EV_RING = 0x0100;
constexpr uint32_t EV_POWER = 0x2000;

// Modem status.
constexpr uint32_t MS_CTS_ON = 0x0010;
constexpr uint32_t MS_DSR_ON = 0x0020;
constexpr uint32_t MS_RING_ON = 0x0040;
constexpr uint32_t MS_RLSD_ON = 0x0080;

// Purge flags.
constexpr uint32_t PURGE_TXABORT = 0x0001;
constexpr uint32_t PURGE_RXABORT = 0x0002;
constexpr uint32_t PURGE_TXCLEAR = 0x0004;
constexpr uint32_t PURGE_RXCLEAR = 0x0008;

// Line errors.
constexpr uint32_t CE_RXOVER = 0x0001;  // received bytes dropped because the ring was full
constexpr uint32_t CE_OVERRUN = 0x0002;
constexpr uint32_t CE_RXPARITY = 0x0004;
constexpr uint32_t CE_FRAME = 0x0008;
constexpr uint32_t CE_BREAK = 0x0010;

// Access codes given to Open.
constexpr uint32_t kAccessRead = 0x80000000u;
constexpr uint32_t kAccessWrite = 0x40000000u;
constexpr uint32_t kAccessBusNamespace = 0x100u;

}  // namespace plat
