#include "uart/uart_port.h"

#include <cstring>
#include <new>

#include "adapter/adapter_base.h"
#include "hw/uart16550.h"
#include "hw/worker_thread.h"
#include "platform/atomic.h"
#include "platform/bus.h"
#include "platform/serial.h"

namespace zel {
namespace {

// Receive trigger choices, lowest first: FCR trigger code and the level it stands for.
struct TriggerRow {
    uint8_t code;
    uint32_t level;
};
constexpr TriggerRow kTriggerTable[] = {
    {kFcrTrigger1, 0},
    {kFcrTrigger4, 4},
    {kFcrTrigger8, 8},
    {kFcrTrigger14, 14},
};

// The highest row whose level does not exceed the water mark; row 0 when none does.
const TriggerRow& SelectTrigger(uint32_t waterMark) {
    for (size_t row = sizeof(kTriggerTable) / sizeof(kTriggerTable[0]) - 1; row > 0; --row) {
        if (kTriggerTable[row].level <= waterMark) return kTriggerTable[row];
    }
    return kTriggerTable[0];
}

// Line status bits that report a receive error (CE_OVERRUN, CE_RXPARITY, CE_FRAME use the same
// values).
constexpr uint8_t kLsrReceiveErrors = kLsrOverrunError | kLsrParityError | kLsrFramingError;
static_assert(kLsrOverrunError == plat::CE_OVERRUN && kLsrParityError == plat::CE_RXPARITY &&
              kLsrFramingError == plat::CE_FRAME);

// FCR bits that act once (reset a FIFO) rather than select a mode. The FCR copy keeps them from
// the last write, but they must not be carried into later writes: a transmit purge would
// otherwise also empty the receive FIFO, and a receive purge the transmit FIFO.
constexpr uint8_t kFcrResetBits = kFcrReceiveReset | kFcrTransmitReset;

// Translation of the modem status register into comm events and modem status bits.
struct MsrBit {
    uint8_t msr;
    uint32_t event;   // EV_* for a change bit
    uint32_t status;  // MS_* for a line bit
};
constexpr MsrBit kMsrTable[] = {
    {kMsrCtsChanged, plat::EV_CTS, 0},
    {kMsrDsrChanged, plat::EV_DSR, 0},
    {kMsrRingTrailingEdge, plat::EV_RING, 0},
    {kMsrDcdChanged, plat::EV_RLSD, 0},
    {kMsrCts, 0, plat::MS_CTS_ON},
    {kMsrDsr, 0, plat::MS_DSR_ON},
    {kMsrRing, 0, plat::MS_RING_ON},
    {kMsrDcd, 0, plat::MS_RLSD_ON},
};

// What one pass of interrupt identification reports for IIR bits 3..0.
uint32_t InterruptBitsFor(uint8_t iir) {
    switch (iir & kIirSourceMask) {
        case kIirModemStatus:
            return InterruptModem;
        case kIirTransmitEmpty:
            return InterruptTransmit;
        case kIirReceiveData:
        case kIirCharacterTimeout:
        case kIirCharacterTimeout | kIirTransmitEmpty:  // 0xE, not a 16550 code: taken as data
            return InterruptReceive;
        case kIirLineStatus:
            return InterruptLine;
        default:
            return 0;  // codes the UART does not use
    }
}

constexpr uint32_t kNoLevel = 0xFFFFFFFFu;
constexpr uint32_t kLevelReads = 10;

// TransmitImmediate never sleeps longer than this between two looks at the holding register.
constexpr uint32_t kMaxImmediateWaitMs = 1000;

struct DivisorWrite {
    FifoUartRegisters* registers;
    uint16_t divisor;
};

void WriteDivisorGuarded(void* context) {
    auto* write = static_cast<DivisorWrite*>(context);
    write->registers->WriteDivisor(write->divisor);
}

}  // namespace

UartPort::UartPort(const plat::WChar* activeKeyPath, PortDevice* context)
    : SerialPort(activeKeyPath, context), activeKey(plat::kLocalMachineRoot, activeKeyPath) {
    registers = nullptr;
    registerWindow = 0;
    fifoMode = 0;
    clockRate = 0;
    name = nullptr;
    transmitFlowStopped = 0;
    receivePurged = 0;
    waterMark = kDefaultWaterMark;
    transmitEvent = plat::EventCreate();
}

UartPort::~UartPort() {
    // Leave the adapter's port table before anything is torn down: once RemovePort returns, the
    // adapter's interrupt thread is not inside ServiceInterrupt and will not enter it again.
    if (AdapterBase* adapter = OwningAdapter()) adapter->RemovePort(this);
    // The resume thread calls back into this object (NotifyInterrupt, GetModemStatus); stop it
    // while the registers and the UART operations still exist.
    if (interruptThread != nullptr) {
        delete interruptThread;
        interruptThread = nullptr;
    }
    if (registers != nullptr) {
        InitModem(0);
        delete registers;
        registers = nullptr;
    }
    if (transmitEvent != 0) plat::HandleClose(transmitEvent);
    transmitEvent = 0;
    if (registerWindow != 0) plat::BusUnmap(registerWindow, 0);
    registerWindow = 0;
    if (fifoWindow != 0) plat::BusUnmap(fifoWindow, 0);
    fifoWindow = 0;
    if (name != nullptr) plat::MemFree(name);
    name = nullptr;
    // activeKey closes itself; the SerialPort part follows.
}

// ---------------------------------------------------------------------------------------------
// Creation and configuration.

plat::Bool UartPort::Init() {
    if (!SerialPort::Init()) return 0;
    if (Handle() == 0 || transmitEvent == 0) return 0;

    if (RegistryValue* value = ReadRegistryValue(activeKey.Handle(), u"Name")) {
        if (value->GetType() == plat::kRegString) {
            const uint32_t chars = value->GetLength() / 2;
            // One character more than the value can fill, zero-filled, so the name is
            // terminated even when the stored string is not.
            name = static_cast<plat::WChar*>(
                plat::MemAlloc(plat::kMemZeroInit, (chars + 1) * sizeof(plat::WChar)));
            uint32_t size = chars * sizeof(plat::WChar);
            if (name != nullptr && !value->GetData(name, &size)) {
                plat::MemFree(name);
                name = nullptr;
            }
        }
        delete value;
    }

    WriteModemEntries();

    uint32_t mark = 0;
    waterMark = QueryValue(u"WaterMarker", &mark, sizeof(mark)) ? mark : kDefaultWaterMark;

    RegistryValue* clock = ReadRegistryValue(Handle(), u"ClockRate");
    if (clock == nullptr) return 0;
    plat::Bool ok = clock->GetType() == plat::kRegDword;
    if (ok) {
        uint32_t size = sizeof(clockRate);
        ok = clock->GetData(&clockRate, &size);
        if (!ok) clockRate = 0;
    }
    delete clock;
    if (!ok) return 0;

    return MapRegisters() && CreateRegisters() ? 1 : 0;
}

plat::Bool UartPort::MapRegisters() {
    if (registerWindow != 0) return 1;
    uint32_t stride = 0;
    registerStride = QueryValue(u"RegStride", &stride, sizeof(stride)) ? stride : 1;

    plat::WindowInfo info{};
    if (ReadWindowInfo(&info) != 0) return 0;
    // Eight registers at the stride must lie inside the window (computed wide: a huge stride
    // must not wrap round to a small span).
    const uint64_t span = 8ull * registerStride;
    if (info.memWindowCount < 1 || info.memWindows[0].base == 0 ||
        info.memWindows[0].length < span) {
        return 0;
    }
    // The mapping covers the level registers and, with a wide stride, every register.
    const uint32_t mapLength =
        span > kRegisterWindowLength ? static_cast<uint32_t>(span) : kRegisterWindowLength;
    const uint64_t base = info.memWindows[0].base;

    uint32_t space = plat::kAddressSpaceMemory;
    plat::VirtAddr mapped = 0;
    if (!plat::BusTranslateAndMap(busHandle, info.interfaceType, info.busNumber, base, mapLength,
                                  &space, &mapped) ||
        space != plat::kAddressSpaceMemory || mapped == 0) {
        return 0;
    }
    registerWindow = mapped;

    space = plat::kAddressSpaceMemory;
    mapped = 0;
    if (!plat::BusTranslateAndMap(busHandle, info.interfaceType, info.busNumber,
                                  base + kFifoWindowOffset, kFifoWindowLength, &space, &mapped) ||
        space != plat::kAddressSpaceMemory || mapped == 0) {
        return 0;
    }
    fifoWindow = mapped;
    return 1;
}

plat::Bool UartPort::CreateRegisters() {
    if (registers != nullptr) return 1;
    if (registerWindow == 0) return 0;
    registers = new (std::nothrow) FifoUartRegisters(registerWindow, fifoWindow, registerStride);
    if (registers == nullptr) return 0;
    if (!registers->IsPresent()) {
        delete registers;
        registers = nullptr;
        return 0;
    }
    return 1;
}

plat::Bool UartPort::PostInit() {
    plat::CsEnter(&hardwareLock);
    for (uint32_t pass = 0; pass < kMaxDrainPasses && (registers->ReadIIR() & kIirNoInterrupt) == 0;
         ++pass) {
        InitReceive(1);
        InitModem(1);
        InitLineStatus(1);
    }
    plat::CsLeave(&hardwareLock);
    return SerialPort::PostInit();
}

// ---------------------------------------------------------------------------------------------
// Line configuration.

plat::Bool UartPort::SetBaudRate(uint32_t baudRate, plat::Bool /*infrared*/) {
    uint16_t divisor = 0;
    if (!ComputeDivisor(clockRate, static_cast<int32_t>(baudRate), &divisor)) return 0;
    plat::CsEnter(&hardwareLock);
    // Read once, so the unmask always reaches the adapter that was masked.
    AdapterBase* adapter = OwningAdapter();
    if (adapter != nullptr) adapter->MaskInterrupt(1);
    DivisorWrite write{registers, divisor};
    plat::RunGuarded(&WriteDivisorGuarded, &write);
    if (adapter != nullptr) adapter->MaskInterrupt(0);
    plat::CsLeave(&hardwareLock);
    return 1;
}

plat::Bool UartPort::SetByteSize(uint32_t byteSize) {
    if (byteSize < 5 || byteSize > 8) return 0;
    const uint8_t bits = static_cast<uint8_t>(kLcrWordLength5 + (byteSize - 5));
    UpdateRegister(kLcr, kLcrWordLengthMask, bits);
    return 1;
}

plat::Bool UartPort::SetParity(uint32_t parity) {
    static constexpr uint8_t kParityBits[] = {kLcrParityNone, kLcrParityOdd, kLcrParityEven,
                                              kLcrParityMark, kLcrParitySpace};
    if (parity >= sizeof(kParityBits)) return 0;
    UpdateRegister(kLcr, kLcrParityMask, kParityBits[parity]);
    return 1;
}

plat::Bool UartPort::SetStopBits(uint32_t stopBits) {
    if (stopBits > plat::kTwoStopBits) return 0;
    UpdateRegister(kLcr, kLcrTwoStopBits, stopBits == plat::kOneStopBit ? 0 : kLcrTwoStopBits);
    return 1;
}

void UartPort::SetBreak(plat::Bool on) {
    UpdateRegister(kLcr, kLcrBreak, on ? kLcrBreak : 0);
}

void UartPort::UpdateRegister(const RegisterPair& reg, uint8_t clear, uint8_t set) {
    plat::CsEnter(&hardwareLock);
    const uint8_t value = (registers->*reg.read)();
    (registers->*reg.write)(static_cast<uint8_t>((value & ~clear) | set));
    plat::CsLeave(&hardwareLock);
}

uint8_t UartPort::GetReceiveTriggerBits() {
    return SelectTrigger(waterMark).code;
}

uint32_t UartPort::GetReceiveTriggerLevel() {
    return SelectTrigger(waterMark).level;
}

// ---------------------------------------------------------------------------------------------
// Interrupts and data transfer.

uint32_t UartPort::ServiceInterrupt() {
    for (uint32_t pass = 0; pass < kMaxServicePasses; ++pass) {
        const uint8_t iir = registers->ReadIIR();
        if (iir & kIirNoInterrupt) break;
        NotifyInterrupt(InterruptBitsFor(iir));
    }
    return 0;
}

plat::Bool UartPort::InitTransmit(plat::Bool enable) {
    if (!enable) return 1;
    plat::CsEnter(&hardwareLock);
    WriteFcr(kFcrFifoEnable | kFcrTransmitReset);
    plat::AtomicStore(fifoMode, 1);
    plat::CsLeave(&hardwareLock);
    return 1;
}

uint32_t UartPort::ReadStableLevelLocked(plat::VirtAddr levelRegister, bool asRoom) {
    uint32_t previous = kNoLevel;
    for (uint32_t read = 0; read < kLevelReads; ++read) {
        uint32_t value = plat::ReadRegisterByte(levelRegister);
        if (asRoom) {
            // A level beyond the FIFO's size is no reading at all.
            if (value > kFifoSize) {
                previous = kNoLevel;
                continue;
            }
            value = kFifoSize - value;
        }
        if (value == previous) return value;
        previous = value;
    }
    return 1;
}

uint32_t UartPort::GetTransmitFifoRoom() {
    if (plat::AtomicLoad(fifoMode) == 0) return 1;
    plat::CsEnter(&hardwareLock);
    const uint32_t room =
        ReadStableLevelLocked(registers->RegisterBase() + kUartTxFifoLevelOffset, true);
    plat::CsLeave(&hardwareLock);
    return room;
}

uint32_t UartPort::TransmitData(const uint8_t* buffer, uint32_t* count) {
    if (count == nullptr) return 0;
    plat::CsEnter(&hardwareLock);
    if (*count == 0 || buffer == nullptr) {
        *count = 0;
        EnableTransmitInterrupt(0);
        plat::CsLeave(&hardwareLock);
        return 0;
    }
    plat::EventPulse(transmitEvent);
    const uint32_t requested = *count;
    *count = 0;

    const uint32_t flags = AppliedFlags();
    if (((flags & plat::kDcbOutxCtsFlow) && IsCtsOff()) ||
        ((flags & plat::kDcbOutxDsrFlow) && IsDsrOff())) {
        plat::AtomicStore(transmitFlowStopped, 1);
        EnableTransmitInterrupt(0);
        plat::CsLeave(&hardwareLock);
        return 0;
    }

    const uint32_t room = GetTransmitFifoRoom();
    const uint32_t n = room < requested ? room : requested;
    const uint32_t words = n / 4;
    const uint32_t rest = n % 4;
    if (words != 0) {
        // The caller's buffer may sit at any byte offset; words go out from an aligned copy.
        uint32_t staged[kFifoSize / 4];
        std::memcpy(staged, buffer, words * 4);
        plat::WriteRegisterWords(registers->FifoWindow(), staged, words);
    }
    if (rest != 0) plat::WriteRegisterBytes(registers->FifoWindow(), buffer + words * 4, rest);
    *count = n;
    EnableTransmitInterrupt(1);
    plat::CsLeave(&hardwareLock);
    return 0;
}

plat::Bool UartPort::EnableTransmitInterrupt(plat::Bool enable) {
    UpdateRegister(kIer, kIerTransmitEmpty, enable ? kIerTransmitEmpty : 0);
    return 1;
}

uint32_t UartPort::ClearTransmit() {
    WriteFcr(kFcrFifoEnable | kFcrTransmitReset);
    return 0;
}

void UartPort::WriteFcr(uint8_t bits) {
    plat::CsEnter(&hardwareLock);
    registers->WriteFCR(static_cast<uint8_t>((registers->ReadFCRCache() & ~kFcrResetBits) | bits));
    plat::CsLeave(&hardwareLock);
}

plat::Bool UartPort::InitReceive(plat::Bool enable) {
    plat::CsEnter(&hardwareLock);
    if (enable) {
        WriteFcr(static_cast<uint8_t>(GetReceiveTriggerBits() | kFcrFifoEnable | kFcrReceiveReset));
        UpdateRegister(kIer, 0, kIerReceiveData);
        registers->ReadLSR();
    } else {
        UpdateRegister(kIer, kIerReceiveData, 0);
    }
    plat::CsLeave(&hardwareLock);
    return 1;
}

uint32_t UartPort::ReceiveData(uint8_t* buffer, uint32_t* count) {
    if (buffer == nullptr || count == nullptr) return 0;
    const uint32_t wanted = *count;
    uint32_t stored = 0;
    plat::AtomicStore(receivePurged, 0);
    plat::CsEnter(&hardwareLock);

    uint32_t available = 1;
    uint8_t firstLsr = 0;
    if (plat::AtomicLoad(fifoMode) != 0) {
        available =
            ReadStableLevelLocked(registers->RegisterBase() + kUartRxFifoLevelOffset, false);
        firstLsr = registers->ReadLSR();
        // An error waits in the FIFO: move one byte at a time so each error stays with its byte.
        if (firstLsr & kLsrFifoError) available = 1;
    }
    uint32_t n = available < wanted ? available : wanted;
    if (n > kFifoSize) n = kFifoSize;

    auto* staged = reinterpret_cast<uint8_t*>(receiveStaging);
    const uint32_t words = n / 4;
    const uint32_t rest = n % 4;
    if (words != 0) plat::ReadRegisterWords(registers->FifoWindow(), receiveStaging, words);
    if (rest != 0) plat::ReadRegisterBytes(registers->FifoWindow(), staged + words * 4, rest);

    // Reading LSR above cleared its error bits; they are passed on, not dropped, and a parity
    // error there belongs to the first byte.
    const uint8_t earlyErrors = ReportLineStatus(firstLsr);

    if (plat::AtomicLoad(receivePurged) == 0) {
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t lsr = static_cast<uint8_t>(ServiceLineStatus());
            if (i == 0) lsr |= earlyErrors;
            uint8_t byte = staged[i];
            if (FilterReceivedChar(&byte, (lsr & kLsrParityError) ? 1 : 0)) {
                buffer[stored++] = byte;
            }
        }
    }
    if (plat::AtomicLoad(receivePurged) != 0) stored = 0;
    plat::CsLeave(&hardwareLock);
    *count = stored;
    return 0;
}

uint32_t UartPort::ClearReceive() {
    // Set before waiting for the lock: a ReceiveData in progress drops what it has read.
    plat::AtomicStore(receivePurged, 1);
    WriteFcr(kFcrReceiveReset);
    return 0;
}

uint8_t UartPort::ReportLineStatus(uint8_t lsr) {
    if (lsr & kLsrReceiveErrors) NotifyLineErrors(lsr & kLsrReceiveErrors);
    if (lsr & kLsrBreakInterrupt) NotifyEvents(plat::EV_BREAK, 0);
    return static_cast<uint8_t>(lsr & (kLsrReceiveErrors | kLsrBreakInterrupt));
}

uint32_t UartPort::ServiceLineStatus() {
    plat::CsEnter(&hardwareLock);
    const uint8_t lsr = registers->ReadLSR();
    plat::CsLeave(&hardwareLock);
    ReportLineStatus(lsr);
    return lsr;
}

uint32_t UartPort::TransmitDrainTimeLocked() {
    const uint32_t queued = plat::AtomicLoad(fifoMode) != 0 ? kFifoSize - GetTransmitFifoRoom() : 1;
    const plat::Dcb& dcb = appliedDcb;
    const uint32_t baud = dcb.BaudRate != 0 ? dcb.BaudRate : 1;
    const uint32_t dataBits = dcb.ByteSize >= 5 && dcb.ByteSize <= 8 ? dcb.ByteSize : 8;
    // Start bit, data, parity, stop bits (one and a half counted as two).
    const uint32_t frameBits = 1 + dataBits + (dcb.Parity != plat::kNoParity ? 1 : 0) +
                               (dcb.StopBits == plat::kOneStopBit ? 1 : 2);
    const uint64_t bits = static_cast<uint64_t>(queued + 2) * frameBits;
    uint64_t ms = (bits * 1000 + baud - 1) / baud;
    if (ms < 1) ms = 1;
    if (ms > kMaxImmediateWaitMs) ms = kMaxImmediateWaitMs;
    return static_cast<uint32_t>(ms);
}

uint32_t UartPort::TransmitImmediate(uint8_t character) {
    for (;;) {
        plat::CsEnter(&hardwareLock);
        const uint32_t lsr = ServiceLineStatus();
        if (lsr & kLsrTransmitHoldingEmpty) {
            registers->WriteData(character);
            plat::CsLeave(&hardwareLock);
            return 0;
        }
        EnableTransmitInterrupt(1);
        // The pulse comes only from a TransmitData on another thread; on the adapter's
        // interrupt thread nothing would give it, so each wait lasts no longer than the
        // transmitter needs to empty its FIFO, and the holding register is looked at again.
        const uint32_t waitMs = TransmitDrainTimeLocked();
        plat::CsLeave(&hardwareLock);
        plat::WaitOne(transmitEvent, waitMs);
    }
}

// ---------------------------------------------------------------------------------------------
// Modem and control lines.

uint32_t UartPort::GetModemStatus() {
    plat::CsEnter(&hardwareLock);
    const uint8_t msr = registers->ReadMSR();
    plat::CsLeave(&hardwareLock);

    uint32_t events = 0;
    uint32_t status = 0;
    for (const MsrBit& bit : kMsrTable) {
        if (msr & bit.msr) {
            events |= bit.event;
            status |= bit.status;
        }
    }
    // A line that hand-shaking waits for is back: let the transmit interrupt run the pump.
    if ((msr & kMsrCts) && plat::AtomicExchange(transmitFlowStopped, 0) != 0) {
        EnableTransmitInterrupt(1);
    }
    if ((msr & kMsrDsr) && plat::AtomicExchange(transmitFlowStopped, 0) != 0) {
        EnableTransmitInterrupt(1);
    }
    if (events != 0) NotifyEvents(events, status);
    return status;
}

uint32_t UartPort::ServiceModemStatus() {
    return GetModemStatus();
}

uint32_t UartPort::SetDTR(plat::Bool on) {
    UpdateRegister(kMcr, kMcrDtr, on ? kMcrDtr : 0);
    return 0;
}

uint32_t UartPort::SetRTS(plat::Bool on) {
    UpdateRegister(kMcr, kMcrRts, on ? kMcrRts : 0);
    return 0;
}

plat::Bool UartPort::InitModem(plat::Bool enable) {
    plat::CsEnter(&hardwareLock);
    if (enable) {
        registers->WriteMCR(kMcrOut2);
        UpdateRegister(kIer, 0, kIerModemStatus);
        registers->ReadMSR();
    } else {
        registers->WriteMCR(0);
        UpdateRegister(kIer, kIerModemStatus, 0);
    }
    plat::CsLeave(&hardwareLock);
    return 1;
}

plat::Bool UartPort::InitInterrupts(plat::Bool enable) {
    plat::CsEnter(&hardwareLock);
    SerialPort::InitInterrupts(enable);
    registers->WriteIER(
        enable ? static_cast<uint8_t>(kIerReceiveData | kIerLineStatus | kIerModemStatus)
               : kIerModemStatus);
    plat::CsLeave(&hardwareLock);
    return 1;
}

plat::Bool UartPort::InitLineStatus(plat::Bool enable) {
    plat::CsEnter(&hardwareLock);
    if (enable) {
        UpdateRegister(kIer, 0, kIerLineStatus);
        registers->WriteLCR(kLcrWordLength8);
    } else {
        UpdateRegister(kIer, kIerLineStatus, 0);
    }
    plat::CsLeave(&hardwareLock);
    return 1;
}

// The power paths can run before Init has created the registers (or after it failed).
void UartPort::SaveHardwareState() {
    if (registers != nullptr) registers->SaveState();
}

void UartPort::RestoreHardwareState() {
    if (registers != nullptr) registers->RestoreState();
}

}  // namespace zel
