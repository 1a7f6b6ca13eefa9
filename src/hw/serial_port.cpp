#include "hw/serial_port.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "adapter/adapter_base.h"
#include "hw/worker_thread.h"
#include "port/stream_events.h"

namespace zel {
namespace {

constexpr uint8_t kSupportedPowerStates = 0x19;  // D0, D3 and D4

bool IsLowPowerState(uint32_t state) { return state == plat::D3 || state == plat::D4; }

// What an application sees before the first settings record arrives: the stream layer's
// first-open settings (9600 baud, 8 data bits, no parity, one stop bit, DTR and RTS on).
constexpr plat::Dcb kInitialDcb = {
    .DCBlength = sizeof(plat::Dcb),
    .BaudRate = 9600,
    .flags = plat::kDcbBinary | (plat::kDtrControlEnable << plat::kDcbDtrControlShift) |
             (plat::kRtsControlEnable << plat::kDcbRtsControlShift),
    .wReserved = 0,
    .XonLim = 512,
    .XoffLim = 128,
    .ByteSize = 8,
    .Parity = plat::kNoParity,
    .StopBits = plat::kOneStopBit,
    .XonChar = 0x11,
    .XoffChar = 0x13,
    .ErrorChar = 0x0D,
    .EofChar = 0x0D,
    .EvtChar = 0x0D,
    .wReserved1 = 0,
};

// The properties reported to applications. Fields the port does not track are 0.
constexpr plat::CommProp kCommProp = {
    .wPacketLength = 0xFFFF,
    .wPacketVersion = 0xFFFF,
    .dwServiceMask = 0x00000001,       // SP_SERIALCOMM
    .dwReserved1 = 0,
    .dwMaxTxQueue = 16,
    .dwMaxRxQueue = 16,
    .dwMaxBaud = 0x00020000,           // BAUD_115200
    .dwProvSubType = 0x00000001,       // PST_RS232
    .dwProvCapabilities = 0x000001FF,  // DTR/DSR .. special characters, no 16-bit mode
    .dwSettableParams = 0x0000007F,
    .dwSettableBaud = 0x1007FFFB,      // BAUD_075 .. BAUD_57600 except 134.5, and BAUD_USER
    .wSettableData = 0x000F,           // 5 to 8 data bits
    .wSettableStopParity = 0x1F05,     // 1 and 2 stop bits; none, odd, even, mark, space
    .dwCurrentTxQueue = 0,
    .dwCurrentRxQueue = 0,
    .dwProvSpec1 = 0,
    .dwProvSpec2 = 0,
    .wcProvChar = {0, 0},
};

}  // namespace

SerialPort::SerialPort(const plat::WChar* activeKeyPath, PortDevice* context)
    : DeviceKey(activeKeyPath) {
    streamContext = context;
    plat::CsInit(&hardwareLock, "SerialPort::hardwareLock");
    plat::CsInit(&interruptLock, "SerialPort::interruptLock");
    plat::CsInit(&handlerLock, "SerialPort::handlerLock");
    owningAdapter = nullptr;
    busHandle = plat::BusOpen(activeKeyPath);
    powerHandle = plat::kPowerHandleNone;
    powerRequest = 0;
    isOpen = 0;
    lineErrors = 0;
    interruptThread = nullptr;
    powerResumed = 0;
    appliedDcb = kInitialDcb;
}

SerialPort::~SerialPort() {
    if (AdapterBase* adapter = OwningAdapter()) adapter->RemovePort(this);
    SerialPort::InitInterrupts(0);
    if (busHandle != 0) plat::BusClose(busHandle);
    if (powerHandle != plat::kPowerHandleNone) plat::PowerRelease(powerHandle);
    if (interruptThread != nullptr) delete interruptThread;
    interruptThread = nullptr;
    ResetPowerState(1);
    plat::CsDelete(&handlerLock);
    plat::CsDelete(&interruptLock);
    plat::CsDelete(&hardwareLock);
}

plat::Bool SerialPort::Init() {
    ResetPowerState(1);
    if (interruptThread == nullptr) {
        interruptThread = new (std::nothrow) PortInterruptThread(this);
        if (interruptThread != nullptr && interruptThread->WakeEvent() == 0) {
            delete interruptThread;
            interruptThread = nullptr;
        }
    }
    powerHandle = plat::PowerCreate(&PowerCallback, this, 1, 1000);
    return interruptThread != nullptr && powerHandle != plat::kPowerHandleNone;
}

plat::Bool SerialPort::PostInit() {
    InitInterrupts(1);
    return InitModem(1);
}

plat::Bool SerialPort::Open() {
    if (plat::AtomicExchange(isOpen, 1) == 1) return 0;
    powerRequest = plat::PowerRequestLevel(powerHandle, plat::D0);
    SetDefaultConfiguration();
    InitLineStatus(1);
    InitReceive(1);
    InitTransmit(1);
    return 1;
}

plat::Bool SerialPort::Close() {
    if (plat::AtomicExchange(isOpen, 0) != 1) return 0;
    InitTransmit(0);
    InitReceive(0);
    InitLineStatus(0);
    plat::PowerReleaseRequest(powerHandle, powerRequest);
    powerRequest = 0;
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Power.

plat::Bool SerialPort::PowerIoControl(uint32_t code, const void* /*in*/, uint32_t /*inLength*/,
                                      void* out, uint32_t outLength, uint32_t* actual) {
    if (code == plat::IOCTL_POWER_CAPABILITIES && out != nullptr &&
        outLength >= sizeof(plat::PowerCapabilities) && actual != nullptr) {
        plat::AtomicStore(powerManaged, 1);
        plat::PowerCapabilities caps;
        GetPowerCapabilities(&caps);
        std::memcpy(out, &caps, sizeof(caps));
        *actual = sizeof(caps);
        return 1;
    }
    if (code == plat::IOCTL_POWER_SET && out != nullptr && outLength >= sizeof(uint32_t) &&
        actual != nullptr && powerHandle != plat::kPowerHandleNone) {
        uint32_t requested;
        std::memcpy(&requested, out, sizeof(requested));
        plat::AtomicStore(powerManaged, 1);
        const plat::Bool r = plat::PowerSetLevel(powerHandle, requested, 0);
        if (r == 1) {
            const uint32_t level = plat::PowerCurrentLevel(powerHandle);
            std::memcpy(out, &level, sizeof(level));
            *actual = sizeof(level);
            return 1;
        }
        plat::SetLastErrorCode(plat::kErrorInvalidParameter);
        return r;
    }
    plat::SetLastErrorCode(plat::kErrorInvalidParameter);
    return 0;
}

plat::Bool SerialPort::ResetPowerState(uint32_t /*ignored*/) {
    plat::AtomicStore(powerState, plat::D0);
    plat::AtomicStore(powerManaged, 0);
    powerCaps.DeviceDx = kSupportedPowerStates;
    return 1;
}

plat::Bool SerialPort::PowerOff() {
    if (plat::AtomicLoad(powerManaged) == 1) return 1;
    SaveHardwareState();
    if (busHandle != 0) plat::BusSetDevicePower(busHandle, plat::D4, nullptr);
    return 1;
}

plat::Bool SerialPort::PowerOn() {
    if (plat::AtomicLoad(powerManaged) == 0) {
        if (busHandle != 0) plat::BusSetDevicePower(busHandle, plat::D0, nullptr);
        RestoreHardwareState();
    }
    plat::AtomicStore(powerResumed, 1);
    if (interruptThread != nullptr) interruptThread->Wake();
    return 1;
}

plat::Bool SerialPort::SetDevicePowerState(uint32_t state) {
    const uint32_t old = plat::AtomicLoad(powerState);
    if (state == old) return 1;
    if (!IsLowPowerState(old) && IsLowPowerState(state)) SaveHardwareState();
    plat::Bool result = 0;
    if (busHandle != 0 && plat::BusSetDevicePower(busHandle, state, nullptr)) {
        plat::AtomicStore(powerState, state);
        result = 1;
    }
    if (IsLowPowerState(old) && state <= plat::D2) {
        RestoreHardwareState();
        plat::AtomicStore(powerResumed, 1);
    }
    return result;
}

uint32_t SerialPort::GetDevicePowerState() { return plat::AtomicLoad(powerState); }

plat::PowerCapabilities* SerialPort::GetPowerCapabilities(plat::PowerCapabilities* caps) {
    std::memcpy(caps, &powerCaps, sizeof(powerCaps));
    return caps;
}

uint32_t PowerCallback(void* context, uint32_t requestedState) {
    if (context == nullptr) return requestedState;
    auto* port = static_cast<SerialPort*>(context);
    port->SetDevicePowerState(requestedState);
    return port->GetDevicePowerState();
}

// ---------------------------------------------------------------------------------------------
// Interrupt notification and events.

plat::Bool SerialPort::InitInterrupts(plat::Bool /*enable*/) {
    plat::CsEnter(&interruptLock);
    pendingInterrupts = InterruptNone;
    plat::CsLeave(&interruptLock);
    return 1;
}

plat::Bool SerialPort::NotifyInterrupt(uint32_t interruptBits) {
    plat::CsEnter(&interruptLock);
    pendingInterrupts |= interruptBits;
    plat::CsLeave(&interruptLock);
    if (plat::AtomicExchange(powerResumed, 0) != 0) {
        if (plat::AtomicLoad(isOpen) == 1) {
            NotifyEvents(plat::EV_POWER, 0);
        } else if (GetModemStatus() & plat::MS_RLSD_ON) {
            plat::RaiseSystemEvent(plat::kNotifyRs232Detected, nullptr);
        }
    }
    plat::CsEnter(&handlerLock);
    HandleInterrupt(streamContext);
    plat::CsLeave(&handlerLock);
    return 1;
}

uint32_t SerialPort::GetInterruptType() {
    plat::CsEnter(&interruptLock);
    const uint32_t taken = pendingInterrupts;
    pendingInterrupts = InterruptNone;
    plat::CsLeave(&interruptLock);
    return taken;
}

plat::Bool SerialPort::NotifyEvents(uint32_t events, uint32_t modemStatus) {
    EvaluateEvents(streamContext, events);
    if (plat::AtomicLoad(isOpen) == 0 && (events & plat::EV_RLSD) &&
        (modemStatus & plat::MS_RLSD_ON)) {
        plat::RaiseSystemEvent(plat::kNotifyRs232Detected, nullptr);
    }
    return 1;
}

plat::Bool SerialPort::FilterReceivedChar(uint8_t* byte, plat::Bool parityError) {
    if (byte == nullptr) return 0;
    const uint32_t flags = plat::AtomicLoad(appliedDcb.flags);
    if ((flags & plat::kDcbDsrSensitivity) && IsDsrOff()) return 0;
    uint8_t value = *byte;
    if (value == 0 && (flags & plat::kDcbNull)) return 0;
    if ((flags & plat::kDcbErrorChar) && parityError) {
        value = static_cast<uint8_t>(appliedDcb.ErrorChar);
    } else if (value == static_cast<uint8_t>(appliedDcb.EvtChar)) {
        NotifyEvents(plat::EV_RXFLAG, 0);
    }
    *byte = value;
    return 1;
}

plat::Bool SerialPort::Purge(uint32_t flags) {
    if (flags & plat::PURGE_RXCLEAR) ClearReceive();
    if (flags & plat::PURGE_TXCLEAR) ClearTransmit();
    return 1;
}

plat::Bool SerialPort::IsCtsOff() { return (GetModemStatus() & plat::MS_CTS_ON) == 0; }

plat::Bool SerialPort::IsDsrOff() { return (GetModemStatus() & plat::MS_DSR_ON) == 0; }

// ---------------------------------------------------------------------------------------------
// Settings.

plat::Bool SerialPort::SetDCB(const plat::Dcb* dcb) {
    if (plat::AtomicLoad(isOpen) == 0 || dcb == nullptr || dcb->DCBlength != sizeof(plat::Dcb)) {
        return 0;
    }
    plat::CsEnter(&hardwareLock);
    plat::Dcb copy = *dcb;
    plat::Bool result = 1;
    if (copy.BaudRate != appliedDcb.BaudRate) {
        if (!SetBaudRate(copy.BaudRate, irEnabled)) {
            copy.BaudRate = appliedDcb.BaudRate;
            result = 0;
        }
    }
    if (copy.ByteSize != appliedDcb.ByteSize) {
        if (!SetByteSize(copy.ByteSize)) {
            copy.ByteSize = appliedDcb.ByteSize;
            result = 0;
        }
    }
    if (copy.Parity != appliedDcb.Parity) {
        if (!SetParity(copy.Parity)) {
            copy.Parity = appliedDcb.Parity;
            result = 0;
        }
    }
    if (copy.StopBits != appliedDcb.StopBits) {
        if (!SetStopBits(copy.StopBits)) {
            copy.StopBits = appliedDcb.StopBits;
            result = 0;
        }
    }
    // The flag word is read without the lock (hand-shake checks of the stream layer), so it
    // is stored on its own, atomically; the rest of the record is guarded by the lock.
    constexpr size_t kFlagsAt = offsetof(plat::Dcb, flags);
    constexpr size_t kAfterFlags = kFlagsAt + sizeof(uint32_t);
    auto* dst = reinterpret_cast<uint8_t*>(&appliedDcb);
    const auto* src = reinterpret_cast<const uint8_t*>(&copy);
    std::memcpy(dst, src, kFlagsAt);
    std::memcpy(dst + kAfterFlags, src + kAfterFlags, sizeof(plat::Dcb) - kAfterFlags);
    plat::AtomicStore(appliedDcb.flags, copy.flags);
    plat::CsLeave(&hardwareLock);
    return result;
}

plat::Bool SerialPort::SetDefaultConfiguration() {
    plat::CsEnter(&hardwareLock);
    commProp = kCommProp;
    SetIrMode(0, 1);
    appliedDcb.DCBlength = sizeof(plat::Dcb);
    appliedDcb.BaudRate = 9600;
    SetBaudRate(9600, 0);
    appliedDcb.ByteSize = 8;
    SetByteSize(8);
    appliedDcb.Parity = plat::kNoParity;
    SetParity(plat::kNoParity);
    appliedDcb.StopBits = plat::kOneStopBit;
    const plat::Bool result = SetStopBits(plat::kOneStopBit);
    plat::CsLeave(&hardwareLock);
    return result;
}

plat::Bool SerialPort::ComputeDivisor(uint32_t clock, int32_t baudRate, uint16_t* divisor) {
    const uint32_t base = 16u * static_cast<uint32_t>(baudRate);
    bool ok = baudRate > 0 && static_cast<int32_t>(base) >= baudRate;
    uint32_t quotient = 0;
    if (ok) {
        quotient = clock / base;
        const uint32_t remainder = clock % base;
        const uint32_t tolerance = clock / 50;
        // A quotient of 0xFFFF or more does not fit the 16-bit divisor latch.
        ok = remainder < tolerance && base <= clock && quotient < 0xFFFF;
    }
    if (divisor != nullptr) *divisor = ok ? static_cast<uint16_t>(quotient) : 0xFFFF;
    return ok ? 1 : 0;
}

void SerialPort::SetIrMode(plat::Bool infrared, plat::Bool wired) {
    irEnabled = infrared ? 1 : 0;
    wiredSelected = wired ? 1 : 0;
}

void SerialPort::GetIrMode(plat::Bool* infrared, plat::Bool* wired) {
    if (infrared != nullptr) *infrared = static_cast<plat::Bool>(irEnabled);
    if (wired != nullptr) *wired = static_cast<plat::Bool>(wiredSelected);
}

void SerialPort::NotifyLineErrors(uint32_t errors) {
    if (errors == 0) return;
    plat::CsEnter(&hardwareLock);
    lineErrors |= errors;
    plat::CsLeave(&hardwareLock);
    NotifyEvents(plat::EV_ERR, 0);
}

uint32_t SerialPort::GetLineErrors() {
    plat::CsEnter(&hardwareLock);
    const uint32_t taken = lineErrors;
    lineErrors = 0;
    plat::CsLeave(&hardwareLock);
    return taken;
}

}  // namespace zel
