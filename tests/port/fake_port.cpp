#include "tests/port/fake_port.h"

#include <algorithm>
#include <chrono>

#include "port/port_device.h"

namespace zel::test {

namespace {

// Holds hardwareLock for a scope.
class HardwareLockGuard {
  public:
    explicit HardwareLockGuard(plat::CriticalSection* cs) : cs(cs) { plat::CsEnter(cs); }
    ~HardwareLockGuard() { plat::CsLeave(cs); }
    HardwareLockGuard(const HardwareLockGuard&) = delete;
    HardwareLockGuard& operator=(const HardwareLockGuard&) = delete;

  private:
    plat::CriticalSection* cs;
};

uint32_t ModemEvents(uint32_t before, uint32_t now) {
    const uint32_t changed = before ^ now;
    uint32_t events = 0;
    if (changed & plat::MS_CTS_ON) events |= plat::EV_CTS;
    if (changed & plat::MS_DSR_ON) events |= plat::EV_DSR;
    if (changed & plat::MS_RLSD_ON) events |= plat::EV_RLSD;
    if (changed & plat::MS_RING_ON) events |= plat::EV_RING;
    return events;
}

}  // namespace

std::atomic<uint64_t> FakePort::callsAfterStreamTeardown{0};

FakePort::FakePort(const plat::WChar* activeKeyPath, PortDevice* device,
                   const FakePortConfig& config)
    : SerialPort(activeKeyPath, device), config(config) {
    thread = std::thread([this] { Run(); });
    threadId = thread.get_id();
}

FakePort::~FakePort() {
    stopRequested = true;
    Wake();
    thread.join();
}

// ---------------------------------------------------------------------------------------------
// Test controls.

void FakePort::InjectReceive(const void* bytes, size_t count) {
    {
        HardwareLockGuard guard(&hardwareLock);
        const auto* p = static_cast<const uint8_t*>(bytes);
        rxFifo.insert(rxFifo.end(), p, p + count);
    }
    Wake();
}

void FakePort::SetModemLines(uint32_t modemStatus) {
    {
        HardwareLockGuard guard(&hardwareLock);
        if (modemLines != modemStatus) modemChanged = true;
        modemLines = modemStatus;
    }
    Wake();
}

void FakePort::InjectLineStatus(uint32_t lineErrors, bool breakSeen) {
    {
        HardwareLockGuard guard(&hardwareLock);
        pendingLineErrors |= lineErrors;
        pendingBreak = pendingBreak || breakSeen;
    }
    Wake();
}

void FakePort::SetDrainPaused(bool paused) {
    {
        HardwareLockGuard guard(&hardwareLock);
        drainPaused = paused;
    }
    Wake();
}

void FakePort::SetTxFifoCapacity(uint32_t bytes) {
    HardwareLockGuard guard(&hardwareLock);
    config.txFifoCapacity = bytes;
}

void FakePort::SetDrainPerTick(uint32_t bytes) {
    HardwareLockGuard guard(&hardwareLock);
    config.drainPerTick = bytes;
}

void FakePort::SetInterruptsPaused(bool paused) {
    {
        HardwareLockGuard guard(&hardwareLock);
        interruptsPaused = paused;
    }
    Wake();
}

std::vector<uint8_t> FakePort::Wire() {
    HardwareLockGuard guard(&hardwareLock);
    return wire;
}

std::vector<uint8_t> FakePort::Accepted() {
    HardwareLockGuard guard(&hardwareLock);
    return accepted;
}

std::vector<uint8_t> FakePort::Immediates() {
    HardwareLockGuard guard(&hardwareLock);
    return immediates;
}

std::vector<uint8_t> FakePort::RingStream() {
    HardwareLockGuard guard(&hardwareLock);
    return ringStream;
}

std::vector<TransmitCall> FakePort::TransmitCalls() {
    HardwareLockGuard guard(&hardwareLock);
    return transmitCalls;
}

size_t FakePort::ReceiveFifoLevel() {
    HardwareLockGuard guard(&hardwareLock);
    return rxFifo.size();
}

size_t FakePort::TransmitFifoLevel() {
    HardwareLockGuard guard(&hardwareLock);
    return txFifo.size();
}

bool FakePort::Dtr() {
    HardwareLockGuard guard(&hardwareLock);
    return dtr;
}

bool FakePort::Rts() {
    HardwareLockGuard guard(&hardwareLock);
    return rts;
}

bool FakePort::BreakOn() {
    HardwareLockGuard guard(&hardwareLock);
    return breakOn;
}

// ---------------------------------------------------------------------------------------------
// The hardware's own thread.

void FakePort::Wake() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        wakeRequested = true;
    }
    wakeCondition.notify_one();
}

void FakePort::Run() {
    while (!stopRequested) {
        {
            std::unique_lock<std::mutex> lock(wakeMutex);
            wakeCondition.wait_for(lock, std::chrono::milliseconds(config.tickMs),
                                   [this] { return wakeRequested || stopRequested.load(); });
            wakeRequested = false;
        }
        if (stopRequested) break;
        bool pending;
        {
            HardwareLockGuard guard(&hardwareLock);
            if (interruptsPaused) continue;
            DrainLocked();
            pending = CausePendingLocked();
        }
        // Never with hardwareLock held: the adapter's service lock comes first.
        AdapterBase* adapter = OwningAdapter();
        if (pending && adapter != nullptr) adapter->ServicePort(Key());
    }
}

bool FakePort::CausePendingLocked() {
    return pendingLineErrors != 0 || pendingBreak || (rxEnabled && !rxFifo.empty()) ||
           (txIntEnabled && txEmptyPending) || modemChanged;
}

void FakePort::DrainLocked() {
    if (drainPaused || txFifo.empty()) return;
    const size_t n = std::min<size_t>(config.drainPerTick, txFifo.size());
    wire.insert(wire.end(), txFifo.begin(), txFifo.begin() + n);
    txFifo.erase(txFifo.begin(), txFifo.begin() + n);
    if (txFifo.empty()) txEmptyPending = true;
}

bool FakePort::CtsHoldsLocked() {
    return (AppliedFlags() & plat::kDcbOutxCtsFlow) && (modemLines & plat::MS_CTS_ON) == 0;
}

uint32_t FakePort::ServiceInterrupt() {
    ++inService;
    bool line;
    bool receive;
    bool transmit;
    bool modem;
    {
        HardwareLockGuard guard(&hardwareLock);
        line = pendingLineErrors != 0 || pendingBreak;
        receive = rxEnabled && !rxFifo.empty();
        // Reading the identification while the transmitter is the source clears it.
        transmit = txIntEnabled && txEmptyPending;
        if (transmit) txEmptyPending = false;
        modem = modemChanged;
    }
    if (const int delay = serviceDelayMs.load(); delay > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    uint32_t causes = 0;
    if (line) {
        NotifyInterrupt(InterruptLine);
        ++causes;
    }
    if (receive) {
        NotifyInterrupt(InterruptReceive);
        ++causes;
    }
    if (transmit) {
        NotifyInterrupt(InterruptTransmit);
        ++causes;
    }
    if (modem) {
        NotifyInterrupt(InterruptModem);
        ++causes;
    }
    interruptsRaised += causes;
    --inService;
    return causes;
}

// ---------------------------------------------------------------------------------------------
// SerialPort.

plat::Bool FakePort::Init() {
    if (failInit) return 0;
    return SerialPort::Init();
}

plat::Bool FakePort::Open() {
    if (failOpen) return 0;
    ++openCalls;
    return SerialPort::Open();
}

plat::Bool FakePort::Close() {
    ++closeCalls;
    return SerialPort::Close();
}

plat::Bool FakePort::PowerIoControl(uint32_t code, const void* in, uint32_t inLength, void* out,
                                    uint32_t outLength, uint32_t* actual) {
    lastPowerCode = code;
    const int forced = powerIoResult.load();
    if (forced >= 0) return forced;
    return SerialPort::PowerIoControl(code, in, inLength, out, outLength, actual);
}

plat::Bool FakePort::InitTransmit(plat::Bool enable) {
    HardwareLockGuard guard(&hardwareLock);
    txIntEnabled = enable != 0;
    if (enable && txFifo.empty()) txEmptyPending = true;
    return 1;
}

uint32_t FakePort::TransmitData(const uint8_t* buffer, uint32_t* count) {
    uint32_t taken = 0;
    {
        HardwareLockGuard guard(&hardwareLock);
        const uint32_t requested = *count;
        if (buffer == nullptr || requested == 0 || CtsHoldsLocked()) {
            txIntEnabled = false;
        } else {
            const uint32_t room = config.txFifoCapacity > txFifo.size()
                                      ? config.txFifoCapacity - static_cast<uint32_t>(txFifo.size())
                                      : 0;
            taken = std::min(requested, room);
            txFifo.insert(txFifo.end(), buffer, buffer + taken);
            accepted.insert(accepted.end(), buffer, buffer + taken);
            if (taken > 0) txEmptyPending = false;
            // A full FIFO keeps the interrupt on: it comes when there is room again.
            txIntEnabled = true;
        }
        if (buffer != nullptr) {
            transmitCalls.push_back({buffer, requested, taken, plat::GetPermissions(), rts,
                                     std::this_thread::get_id() == threadId});
        }
    }
    *count = taken;
    Wake();
    return taken;
}

uint32_t FakePort::TransmitImmediate(uint8_t character) {
    HardwareLockGuard guard(&hardwareLock);
    immediates.push_back(character);
    wire.push_back(character);
    return 1;
}

plat::Bool FakePort::EnableTransmitInterrupt(plat::Bool enable) {
    {
        HardwareLockGuard guard(&hardwareLock);
        txIntEnabled = enable != 0;
        if (enable && txFifo.empty()) txEmptyPending = true;
    }
    Wake();
    return 1;
}

uint32_t FakePort::ClearTransmit() {
    HardwareLockGuard guard(&hardwareLock);
    txCleared += txFifo.size();
    txFifo.clear();
    txEmptyPending = true;
    return 1;
}

plat::Bool FakePort::InitReceive(plat::Bool enable) {
    {
        HardwareLockGuard guard(&hardwareLock);
        rxEnabled = enable != 0;
    }
    Wake();
    return 1;
}

uint32_t FakePort::ReceiveData(uint8_t* buffer, uint32_t* count) {
    HardwareLockGuard guard(&hardwareLock);
    const PortDevice* device = StreamContext();
    if (sim::HandleLookup(device->ReceiveEvent) == nullptr) ++callsAfterStreamTeardown;
    const bool intoRing = buffer >= device->RxBuffer && buffer < device->RxBuffer + device->RxSize;
    const uint32_t limit = std::min(*count, config.rxChunk);
    uint32_t n = 0;
    while (n < limit && !rxFifo.empty()) {
        uint8_t byte = rxFifo.front();
        rxFifo.pop_front();
        // May raise EV_RXFLAG, with hardwareLock held, as a real port does.
        if (FilterReceivedChar(&byte, 0)) buffer[n++] = byte;
    }
    if (intoRing) {
        ringStream.insert(ringStream.end(), buffer, buffer + n);
        ++ringReceiveCalls;
        ringReceiveBytes += n;
    } else {
        ++foreignReceiveCalls;
        foreignReceiveBytes += n;
    }
    *count = n;
    return n;
}

uint32_t FakePort::ClearReceive() {
    HardwareLockGuard guard(&hardwareLock);
    rxCleared += rxFifo.size();
    rxFifo.clear();
    return 1;
}

plat::Bool FakePort::InitModem(plat::Bool /*enable*/) {
    return 1;
}

uint32_t FakePort::GetModemStatus() {
    uint32_t status;
    uint32_t events;
    {
        HardwareLockGuard guard(&hardwareLock);
        status = modemLines;
        events = ModemEvents(reportedModemLines, status);
        const bool ctsRose = (events & plat::EV_CTS) && (status & plat::MS_CTS_ON);
        reportedModemLines = status;
        modemChanged = false;
        // The line that held the transmitter is back: let it ask for data again.
        if (ctsRose) {
            txIntEnabled = true;
            if (txFifo.empty()) txEmptyPending = true;
        }
    }
    if (events != 0) {
        NotifyEvents(events, status);
        Wake();
    }
    return status;
}

uint32_t FakePort::SetDTR(plat::Bool on) {
    HardwareLockGuard guard(&hardwareLock);
    if (dtr != (on != 0)) ++dtrChanges;
    dtr = on != 0;
    return 1;
}

uint32_t FakePort::SetRTS(plat::Bool on) {
    HardwareLockGuard guard(&hardwareLock);
    if (rts != (on != 0)) ++rtsChanges;
    rts = on != 0;
    return 1;
}

plat::Bool FakePort::InitLineStatus(plat::Bool /*enable*/) {
    return 1;
}

uint32_t FakePort::ServiceLineStatus() {
    uint32_t errors;
    bool breakSeen;
    {
        HardwareLockGuard guard(&hardwareLock);
        errors = pendingLineErrors;
        breakSeen = pendingBreak;
        pendingLineErrors = 0;
        pendingBreak = false;
    }
    if (errors != 0) NotifyLineErrors(errors);
    if (breakSeen) NotifyEvents(plat::EV_BREAK, 0);
    return errors;
}

void FakePort::SetBreak(plat::Bool on) {
    HardwareLockGuard guard(&hardwareLock);
    breakOn = on != 0;
}

plat::Bool FakePort::SetBaudRate(uint32_t baudRate, plat::Bool infrared) {
    if (failSetBaudRate) return 0;
    lastBaudRate = baudRate;
    lastBaudInfrared = infrared != 0;
    return 1;
}

// ---------------------------------------------------------------------------------------------

FakeAdapter::FakeAdapter(uint32_t ports) : AdapterBase(nullptr) {
    portCount = ports;
}

SerialPort* FakeAdapter::CreatePortObject(const plat::WChar* activeKeyPath, PortDevice* device) {
    if (failCreate) return nullptr;
    lastPort = new (std::nothrow) FakePort(activeKeyPath, device, config);
    if (lastPort != nullptr) lastPort->failInit = failPortInit;
    return lastPort;
}

}  // namespace zel::test
