// A scripted port hardware object for the stream layer's tests, and an adapter that makes it.
//
// FakePort plays a UART: a receive FIFO the test fills, a transmit FIFO with a configurable
// room that drains at a configurable rate onto a recorded wire, modem lines and line errors
// the test sets. Its own thread raises interrupts as hardware would: it asks the owning
// adapter to service the port (AdapterBase::ServicePort), whose ServiceInterrupt reports each
// pending cause through NotifyInterrupt, which runs the stream layer's HandleInterrupt.
//
// Its state is guarded by hardwareLock, as a real port's register sequences are, so the
// stream layer's lock nesting against it is what the lock-order checker sees.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "adapter/adapter_base.h"
#include "hw/serial_port.h"
#include "sim/kernel/sim_kernel.h"

namespace zel::test {

struct FakePortConfig {
    uint32_t txFifoCapacity = 64;  // room of the transmit FIFO
    uint32_t drainPerTick = 64;    // bytes leaving the transmit FIFO per tick
    uint32_t tickMs = 1;
    uint32_t rxChunk = 64;  // most bytes one ReceiveData call delivers
};

// One TransmitData call as the stream layer made it.
struct TransmitCall {
    const uint8_t* buffer;
    uint32_t requested;
    uint32_t taken;
    uint32_t permissions;  // of the calling thread
    bool rtsHigh;          // RTS at the time of the call
    bool onFakeThread;     // made on the interrupt path
};

class FakePort final : public SerialPort {
  public:
    FakePort(const plat::WChar* activeKeyPath, PortDevice* device, const FakePortConfig& config);
    ~FakePort() override;

    // --- What the test drives -------------------------------------------------------------
    void InjectReceive(const void* bytes, size_t count);
    void InjectReceive(const std::vector<uint8_t>& bytes) {
        InjectReceive(bytes.data(), bytes.size());
    }
    // MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON; a change raises a modem interrupt.
    void SetModemLines(uint32_t modemStatus);
    // CE_* bits and/or a break, raised as a line-status interrupt.
    void InjectLineStatus(uint32_t lineErrors, bool breakSeen);
    void SetDrainPaused(bool paused);
    void SetTxFifoCapacity(uint32_t bytes);
    void SetDrainPerTick(uint32_t bytes);
    // Stops raising interrupts (and draining) until resumed.
    void SetInterruptsPaused(bool paused);
    // Time ServiceInterrupt spends between identifying the causes and reporting them, so
    // that a test can overlap an interrupt in flight with the stream layer's teardown.
    std::atomic<int> serviceDelayMs{0};

    // Knobs for failure paths.
    std::atomic<bool> failInit{false};
    std::atomic<bool> failOpen{false};
    std::atomic<bool> failSetBaudRate{false};
    std::atomic<int> powerIoResult{-1};  // -1: the base behaviour; 0 or 1: that result

    // --- What the test reads --------------------------------------------------------------
    std::vector<uint8_t> Wire();        // every byte that left: drained data and immediates
    std::vector<uint8_t> Accepted();    // bytes TransmitData took, in order
    std::vector<uint8_t> Immediates();  // TransmitImmediate characters, in order
    std::vector<TransmitCall> TransmitCalls();
    std::vector<uint8_t> RingStream();  // bytes ReceiveData stored into the ring, in order
    size_t ReceiveFifoLevel();
    size_t TransmitFifoLevel();
    bool Dtr();
    bool Rts();
    bool BreakOn();
    uint32_t LastPowerCode() { return lastPowerCode.load(); }
    uint32_t LastBaudRate() { return lastBaudRate.load(); }
    bool LastBaudInfrared() { return lastBaudInfrared.load(); }
    bool IrEnabled() { return irEnabled != 0; }
    bool WiredSelected() { return wiredSelected != 0; }

    std::atomic<uint32_t> openCalls{0};
    std::atomic<uint32_t> closeCalls{0};
    std::atomic<uint32_t> saveCalls{0};
    std::atomic<uint32_t> restoreCalls{0};
    std::atomic<uint32_t> dtrChanges{0};
    std::atomic<uint32_t> rtsChanges{0};
    // ReceiveData calls whose buffer lay inside the stream layer's ring, and the others
    // (the full-ring scratch area), with the bytes delivered to those.
    std::atomic<uint64_t> ringReceiveCalls{0};
    std::atomic<uint64_t> foreignReceiveCalls{0};
    std::atomic<uint64_t> foreignReceiveBytes{0};
    std::atomic<uint64_t> ringReceiveBytes{0};
    std::atomic<uint64_t> rxCleared{0};  // bytes dropped from the receive FIFO by a purge
    std::atomic<uint64_t> txCleared{0};  // bytes dropped from the transmit FIFO by a purge
    std::atomic<uint64_t> interruptsRaised{0};
    std::atomic<int> inService{0};  // ServiceInterrupt calls in progress
    // ReceiveData calls made after the stream layer had closed its receive event (its ring
    // and locks went with it), over all fake ports.
    static std::atomic<uint64_t> callsAfterStreamTeardown;

    // The receive FIFO is empty and the interrupt pass that emptied it has finished.
    bool ReceiveIdle() { return ReceiveFifoLevel() == 0 && inService.load() == 0; }

    // --- SerialPort -----------------------------------------------------------------------
    plat::Bool Init() override;
    plat::Bool Open() override;
    plat::Bool Close() override;
    plat::Bool PowerIoControl(uint32_t code, const void* in, uint32_t inLength, void* out,
                              uint32_t outLength, uint32_t* actual) override;
    void SaveHardwareState() override { ++saveCalls; }
    void RestoreHardwareState() override { ++restoreCalls; }
    uint32_t ServiceInterrupt() override;
    plat::Bool InitTransmit(plat::Bool enable) override;
    uint32_t TransmitData(const uint8_t* buffer, uint32_t* count) override;
    uint32_t TransmitImmediate(uint8_t character) override;
    plat::Bool EnableTransmitInterrupt(plat::Bool enable) override;
    uint32_t ClearTransmit() override;
    plat::Bool InitReceive(plat::Bool enable) override;
    uint32_t ReceiveData(uint8_t* buffer, uint32_t* count) override;
    uint32_t ClearReceive() override;
    plat::Bool InitModem(plat::Bool enable) override;
    uint32_t ServiceModemStatus() override { return GetModemStatus(); }
    uint32_t GetModemStatus() override;
    uint32_t SetDTR(plat::Bool on) override;
    uint32_t SetRTS(plat::Bool on) override;
    plat::Bool InitLineStatus(plat::Bool enable) override;
    uint32_t ServiceLineStatus() override;
    void SetBreak(plat::Bool on) override;
    plat::Bool SetBaudRate(uint32_t baudRate, plat::Bool infrared) override;
    plat::Bool SetByteSize(uint32_t byteSize) override { return byteSize >= 5 && byteSize <= 8; }
    plat::Bool SetParity(uint32_t parity) override { return parity <= plat::kSpaceParity; }
    plat::Bool SetStopBits(uint32_t stopBits) override { return stopBits <= plat::kTwoStopBits; }

  private:
    void Run();
    void Wake();
    // hardwareLock held.
    bool CausePendingLocked();
    void DrainLocked();
    bool CtsHoldsLocked();

    FakePortConfig config;
    std::deque<uint8_t> rxFifo;
    std::deque<uint8_t> txFifo;
    std::vector<uint8_t> wire;
    std::vector<uint8_t> accepted;
    std::vector<uint8_t> immediates;
    std::vector<TransmitCall> transmitCalls;
    std::vector<uint8_t> ringStream;
    bool rxEnabled = false;
    bool txIntEnabled = false;
    bool txEmptyPending = false;
    bool drainPaused = false;
    bool interruptsPaused = false;
    uint32_t modemLines = 0;
    uint32_t reportedModemLines = 0;
    bool modemChanged = false;
    uint32_t pendingLineErrors = 0;
    bool pendingBreak = false;
    bool dtr = false;
    bool rts = false;
    bool breakOn = false;
    std::atomic<uint32_t> lastPowerCode{0};
    std::atomic<uint32_t> lastBaudRate{0};
    std::atomic<bool> lastBaudInfrared{false};

    std::mutex wakeMutex;  // only for the thread's sleep; never held while calling out
    std::condition_variable wakeCondition;
    bool wakeRequested = false;
    std::atomic<bool> stopRequested{false};
    std::thread::id threadId;
    std::thread thread;
};

class FakeAdapter final : public AdapterBase {
  public:
    explicit FakeAdapter(uint32_t ports = 1);

    plat::Bool CreatePortDevices() override { return 1; }
    SerialPort* CreatePortObject(const plat::WChar* activeKeyPath, PortDevice* device) override;
    void MaskInterrupt(plat::Bool) override {}
    void PostInit() override {}

    FakePortConfig config;
    bool failCreate = false;    // CreatePortObject returns null
    bool failPortInit = false;  // the object's Init fails
    FakePort* lastPort = nullptr;
};

}  // namespace zel::test
