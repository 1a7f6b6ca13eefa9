// The hardware object of one 16550-compatible UART channel with 64-byte FIFOs: configuration
// from the registry, the register and FIFO windows, line settings and the baud-rate divisor,
// interrupt identification and bulk FIFO transfer, modem and control lines, and the entries
// the port writes for the modem service.
#pragma once

#include <cstdint>

#include "hw/serial_port.h"
#include "hw/uart16550.h"
#include "hw/uart_registers.h"
#include "platform/kernel.h"
#include "support/registry.h"

namespace zel {

class UartPort : public SerialPort {
  public:
    // Both UART FIFOs hold this many bytes; it is also the largest single transfer.
    static constexpr uint32_t kFifoSize = kUartFifoDepth;
    // Start-up drain of interrupts left pending in the UART gives up after this many passes.
    static constexpr uint32_t kMaxDrainPasses = 4096;
    // One ServiceInterrupt call reports at most this many causes. A UART whose interrupt
    // identification never reads "none pending" (a card gone from the bus, a stuck source)
    // must not hold the adapter's interrupt thread for ever; whatever is still pending keeps
    // the line asserted and is served in the next pass.
    static constexpr uint32_t kMaxServicePasses = 256;
    // Offsets inside the UART's window, independent of the register stride.
    static constexpr uint32_t kRegisterWindowLength = 15;
    static constexpr uint32_t kFifoWindowOffset = kUartFifoWindowOffset;
    static constexpr uint32_t kFifoWindowLength = kUartFifoWindowLength;
    static constexpr uint32_t kDefaultWaterMark = 8;

    UartPort(const plat::WChar* activeKeyPath, PortDevice* streamContext);
    // Leaves the adapter's port table first. A class derived from this one must do so in its
    // own destructor, before its members go: until the removal returns, the adapter's
    // interrupt thread may be inside one of its overrides.
    ~UartPort() override;

    // Overrides, in the order of SerialPort's table of operations.
    plat::Bool Init() override;
    plat::Bool PostInit() override;
    void SaveHardwareState() override;
    void RestoreHardwareState() override;
    plat::Bool InitInterrupts(plat::Bool enable) override;
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
    uint32_t ServiceModemStatus() override;
    uint32_t GetModemStatus() override;
    uint32_t SetDTR(plat::Bool on) override;
    uint32_t SetRTS(plat::Bool on) override;
    plat::Bool InitLineStatus(plat::Bool enable) override;
    uint32_t ServiceLineStatus() override;
    void SetBreak(plat::Bool on) override;
    plat::Bool SetBaudRate(uint32_t baudRate, plat::Bool infrared) override;
    plat::Bool SetByteSize(uint32_t byteSize) override;
    plat::Bool SetParity(uint32_t parity) override;
    plat::Bool SetStopBits(uint32_t stopBits) override;

    // Operations of this class, after the inherited ones.
    virtual plat::Bool MapRegisters();
    virtual plat::Bool CreateRegisters();
    virtual uint32_t GetTransmitFifoRoom();
    virtual uint32_t GetReceiveTriggerLevel();
    virtual uint8_t GetReceiveTriggerBits();

    // Writes the "Unimodem" and "Unimodem2" sub keys of the port's device key; true when
    // every value was written.
    plat::Bool WriteModemEntries();

    // Read-only views for the adapter and for diagnostics.
    uint32_t WaterMark() const { return waterMark; }
    uint32_t RegisterStride() const { return registerStride; }
    uint32_t ClockRate() const { return clockRate; }
    const plat::WChar* Name() const { return name; }
    plat::VirtAddr RegisterWindow() const { return registerWindow; }
    plat::VirtAddr FifoWindow() const { return fifoWindow; }
    FifoUartRegisters* Registers() const { return registers; }

  private:
    // A register that is changed by read, modify and write.
    struct RegisterPair {
        uint8_t (UartRegisters::*read)();
        void (UartRegisters::*write)(uint8_t);
    };
    static constexpr RegisterPair kIer{&UartRegisters::ReadIER, &UartRegisters::WriteIER};
    static constexpr RegisterPair kLcr{&UartRegisters::ReadLCR, &UartRegisters::WriteLCR};
    static constexpr RegisterPair kMcr{&UartRegisters::ReadMCR, &UartRegisters::WriteMCR};
    // Under hardwareLock: clears the bits of clear, then sets those of set; other bits stay.
    void UpdateRegister(const RegisterPair& reg, uint8_t clear, uint8_t set);
    // Under hardwareLock: FCR := the last value written, without its FIFO reset bits, | bits.
    void WriteFcr(uint8_t bits);

    // How long TransmitImmediate may sleep before looking at the holding register again: the
    // time the transmitter needs to send what its FIFO holds now, plus two characters, at the
    // current speed and frame. Never below 1 ms. Called with hardwareLock held.
    uint32_t TransmitDrainTimeLocked();
    // Reads a FIFO level register until two consecutive reads agree; 1 without agreement.
    // With asRoom the reading is turned into free room (a level beyond the FIFO never agrees).
    uint32_t ReadStableLevelLocked(plat::VirtAddr levelRegister, bool asRoom);
    // Passes the error and break bits of a line status value on as line errors and EV_BREAK;
    // returns those bits.
    uint8_t ReportLineStatus(uint8_t lsr);

    // Fixed configuration, set by Init and not changed afterwards.
    uint32_t fifoMode = 0;           // 1 once InitTransmit(on) has switched the FIFOs on
    plat::Handle transmitEvent = 0;  // pulsed by TransmitData, waited on by TransmitImmediate
    uint32_t receivePurged = 0;      // set by ClearReceive at any time (atomic)
    uint32_t waterMark = kDefaultWaterMark;
    uint32_t transmitFlowStopped = 0;  // guarded by hardwareLock (atomic for the unlocked read)
    FifoUartRegisters* registers = nullptr;
    plat::VirtAddr registerWindow = 0;
    plat::VirtAddr fifoWindow = 0;
    uint32_t registerStride = 1;
    uint32_t clockRate = 0;
    RegistryKey activeKey;
    plat::WChar* name = nullptr;
    uint32_t receiveStaging[kFifoSize / 4] = {};  // 64 bytes, guarded by hardwareLock
};

}  // namespace zel
