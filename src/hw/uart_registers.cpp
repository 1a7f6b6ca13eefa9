#include "hw/uart_registers.h"

#include "hw/uart16550.h"
#include "platform/bus.h"

namespace zel {

// ---------------------------------------------------------------------------------------------
// UartRegisters: I/O-port access

UartRegisters::UartRegisters(plat::VirtAddr base, uint32_t registerStride)
    : baseAddress(base),
      stride(registerStride),
      dataAddress(base + kUartRegData * registerStride),
      ierAddress(base + kUartRegIer * registerStride),
      iirAddress(base + kUartRegIir * registerStride),
      lcrAddress(base + kUartRegLcr * registerStride),
      mcrAddress(base + kUartRegMcr * registerStride),
      lsrAddress(base + kUartRegLsr * registerStride),
      msrAddress(base + kUartRegMsr * registerStride),
      scrAddress(base + kUartRegScr * registerStride) {}

UartRegisters::~UartRegisters() = default;

plat::Bool UartRegisters::IsPresent() const {
    return baseAddress != 0;
}

void UartRegisters::WriteData(uint8_t value) {
    plat::WritePortByte(dataAddress, value);
}
uint8_t UartRegisters::ReadData() {
    return plat::ReadPortByte(dataAddress);
}
void UartRegisters::WriteIER(uint8_t value) {
    plat::WritePortByte(ierAddress, value);
}
uint8_t UartRegisters::ReadIER() {
    return plat::ReadPortByte(ierAddress);
}
void UartRegisters::WriteFCR(uint8_t value) {
    plat::WritePortByte(iirAddress, value);
    fcrShadow = value;
}
uint8_t UartRegisters::ReadFCRCache() const {
    return fcrShadow;
}
uint8_t UartRegisters::ReadIIR() {
    return plat::ReadPortByte(iirAddress);
}
void UartRegisters::WriteLCR(uint8_t value) {
    plat::WritePortByte(lcrAddress, value);
}
uint8_t UartRegisters::ReadLCR() {
    return plat::ReadPortByte(lcrAddress);
}
void UartRegisters::WriteMCR(uint8_t value) {
    plat::WritePortByte(mcrAddress, value);
}
uint8_t UartRegisters::ReadMCR() {
    return plat::ReadPortByte(mcrAddress);
}
void UartRegisters::WriteLSR(uint8_t value) {
    plat::WritePortByte(lsrAddress, value);
}
uint8_t UartRegisters::ReadLSR() {
    return plat::ReadPortByte(lsrAddress);
}
void UartRegisters::WriteMSR(uint8_t value) {
    plat::WritePortByte(msrAddress, value);
}
uint8_t UartRegisters::ReadMSR() {
    return plat::ReadPortByte(msrAddress);
}
void UartRegisters::WriteSCR(uint8_t value) {
    plat::WritePortByte(scrAddress, value);
}
uint8_t UartRegisters::ReadSCR() {
    return plat::ReadPortByte(scrAddress);
}

plat::Bool UartRegisters::WriteDivisor(uint16_t divisor) {
    const uint8_t lcr = ReadLCR();
    WriteLCR(lcr | kLcrDivisorLatch);
    WriteData(DivisorLow(divisor));
    WriteIER(DivisorHigh(divisor));
    // The value as read: the latch stays open only if it already was.
    WriteLCR(lcr);
    divisorShadow = divisor;
    return 1;
}

void UartRegisters::SaveState() {
    stateSaved = 1;
    savedIer = ReadIER();
    savedLcr = ReadLCR();
    savedMcr = ReadMCR();
}

void UartRegisters::RestoreState() {
    if (!stateSaved) return;
    WriteFCR(fcrShadow);
    WriteIER(savedIer);
    WriteLCR(savedLcr);
    WriteMCR(savedMcr);
    // A divisor of 0 was never written: the chip keeps its own until the first baud setting.
    if (divisorShadow != 0) WriteDivisor(divisorShadow);
    stateSaved = 0;
}

// ---------------------------------------------------------------------------------------------
// MappedUartRegisters: memory-mapped access

MappedUartRegisters::MappedUartRegisters(plat::VirtAddr base, uint32_t registerStride)
    : UartRegisters(base, registerStride) {}

MappedUartRegisters::~MappedUartRegisters() = default;

void MappedUartRegisters::WriteData(uint8_t value) {
    plat::WriteRegisterByte(dataAddress, value);
}
uint8_t MappedUartRegisters::ReadData() {
    return plat::ReadRegisterByte(dataAddress);
}
void MappedUartRegisters::WriteIER(uint8_t value) {
    plat::WriteRegisterByte(ierAddress, value);
}
uint8_t MappedUartRegisters::ReadIER() {
    return plat::ReadRegisterByte(ierAddress);
}
void MappedUartRegisters::WriteFCR(uint8_t value) {
    plat::WriteRegisterByte(iirAddress, value);
    fcrShadow = value;
}
uint8_t MappedUartRegisters::ReadIIR() {
    return plat::ReadRegisterByte(iirAddress);
}
void MappedUartRegisters::WriteLCR(uint8_t value) {
    plat::WriteRegisterByte(lcrAddress, value);
}
uint8_t MappedUartRegisters::ReadLCR() {
    return plat::ReadRegisterByte(lcrAddress);
}
void MappedUartRegisters::WriteMCR(uint8_t value) {
    plat::WriteRegisterByte(mcrAddress, value);
}
uint8_t MappedUartRegisters::ReadMCR() {
    return plat::ReadRegisterByte(mcrAddress);
}
void MappedUartRegisters::WriteLSR(uint8_t value) {
    plat::WriteRegisterByte(lsrAddress, value);
}
uint8_t MappedUartRegisters::ReadLSR() {
    return plat::ReadRegisterByte(lsrAddress);
}
void MappedUartRegisters::WriteMSR(uint8_t value) {
    plat::WriteRegisterByte(msrAddress, value);
}
uint8_t MappedUartRegisters::ReadMSR() {
    return plat::ReadRegisterByte(msrAddress);
}
void MappedUartRegisters::WriteSCR(uint8_t value) {
    plat::WriteRegisterByte(scrAddress, value);
}
uint8_t MappedUartRegisters::ReadSCR() {
    return plat::ReadRegisterByte(scrAddress);
}

// ---------------------------------------------------------------------------------------------
// FifoUartRegisters

FifoUartRegisters::FifoUartRegisters(plat::VirtAddr base, plat::VirtAddr fifoWindowAddress,
                                     uint32_t registerStride)
    : MappedUartRegisters(base, registerStride),
      fifoWindow(fifoWindowAddress),
      registerBase(base) {}

FifoUartRegisters::~FifoUartRegisters() = default;

}  // namespace zel
