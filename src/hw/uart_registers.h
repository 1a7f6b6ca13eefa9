// Access to the eight registers of a 16550-compatible UART.
//
// The register object knows where the registers lie, keeps what the chip cannot give back
// (the last FIFO control value and the last divisor), writes the divisor through the latch,
// and saves and restores the registers that a power loss destroys. Only FifoUartRegisters
// objects are created; the classes take no lock (the port serialises its register sequences).
#pragma once

#include <cstdint>

#include "platform/types.h"
#include "support/object.h"

namespace zel {

// Registers reached through I/O-port byte access.
class UartRegisters : public PlatformObject {
  public:
    UartRegisters(plat::VirtAddr base, uint32_t registerStride);
    UartRegisters(const UartRegisters&) = delete;
    UartRegisters& operator=(const UartRegisters&) = delete;

    // Virtual operations in the order of the table of operations.
    virtual ~UartRegisters();
    virtual plat::Bool IsPresent() const;
    virtual void WriteData(uint8_t value);
    virtual uint8_t ReadData();
    virtual void WriteIER(uint8_t value);
    virtual uint8_t ReadIER();
    virtual void WriteFCR(uint8_t value);
    virtual uint8_t ReadFCRCache() const;
    virtual uint8_t ReadIIR();
    virtual void WriteLCR(uint8_t value);
    virtual uint8_t ReadLCR();
    virtual void WriteMCR(uint8_t value);
    virtual uint8_t ReadMCR();
    virtual void WriteLSR(uint8_t value);
    virtual uint8_t ReadLSR();
    virtual void WriteMSR(uint8_t value);
    virtual uint8_t ReadMSR();
    virtual void WriteSCR(uint8_t value);
    virtual uint8_t ReadSCR();
    // Opens the divisor latch, writes both halves and puts back the line control value it
    // found. Always 1.
    virtual plat::Bool WriteDivisor(uint16_t divisor);
    virtual void SaveState();
    // Puts back what SaveState saved (FCR from its shadow first), then the last divisor.
    // Without a preceding SaveState nothing is written; while no divisor was ever written the
    // divisor sequence is skipped, so a restore never programs a divisor of 0.
    virtual void RestoreState();

    plat::VirtAddr BaseAddress() const { return baseAddress; }
    uint32_t Stride() const { return stride; }
    uint16_t DivisorShadow() const { return divisorShadow; }
    plat::Bool StateSaved() const { return stateSaved; }

  protected:
    plat::VirtAddr baseAddress;  // register 0; 0 = no UART
    uint32_t stride;             // bytes between consecutive registers
    uint8_t fcrShadow = 0;       // last FCR write (FCR's address reads as IIR)
    plat::Bool stateSaved = 0;   // 1 between SaveState and the next RestoreState
    plat::VirtAddr dataAddress;  // register 0: RBR / THR, DLL
    plat::VirtAddr ierAddress;   // register 1: IER, DLM
    plat::VirtAddr iirAddress;   // register 2: IIR / FCR
    plat::VirtAddr lcrAddress;   // register 3
    plat::VirtAddr mcrAddress;   // register 4
    plat::VirtAddr lsrAddress;   // register 5
    plat::VirtAddr msrAddress;   // register 6
    plat::VirtAddr scrAddress;   // register 7
    uint8_t savedIer = 0;
    uint8_t savedLcr = 0;
    uint8_t savedMcr = 0;
    uint16_t divisorShadow = 0;  // last divisor written; 0 = none yet
};

// The same registers reached through memory-mapped byte access.
class MappedUartRegisters : public UartRegisters {
  public:
    MappedUartRegisters(plat::VirtAddr base, uint32_t registerStride);
    ~MappedUartRegisters() override;

    void WriteData(uint8_t value) override;
    uint8_t ReadData() override;
    void WriteIER(uint8_t value) override;
    uint8_t ReadIER() override;
    void WriteFCR(uint8_t value) override;
    uint8_t ReadIIR() override;
    void WriteLCR(uint8_t value) override;
    uint8_t ReadLCR() override;
    void WriteMCR(uint8_t value) override;
    uint8_t ReadMCR() override;
    void WriteLSR(uint8_t value) override;
    uint8_t ReadLSR() override;
    void WriteMSR(uint8_t value) override;
    uint8_t ReadMSR() override;
    void WriteSCR(uint8_t value) override;
    uint8_t ReadSCR() override;
};

// Memory-mapped registers plus the UART's FIFO data window and the base of the card's
// registers beyond the standard eight (the FIFO fill levels).
class FifoUartRegisters : public MappedUartRegisters {
  public:
    FifoUartRegisters(plat::VirtAddr base, plat::VirtAddr fifoWindowAddress,
                      uint32_t registerStride);
    ~FifoUartRegisters() override;

    plat::VirtAddr FifoWindow() const { return fifoWindow; }
    plat::VirtAddr RegisterBase() const { return registerBase; }

  protected:
    plat::VirtAddr fifoWindow;    // FIFO data window: bursts of 32-bit words and single bytes
    plat::VirtAddr registerBase;  // fill levels at + 10 (transmit) and + 11 (receive)
};

}  // namespace zel
