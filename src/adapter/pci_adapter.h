// The adapter object of one PCI card, for every family: identifies the card model, records
// the port count, maps the global registers, installs the interrupt handling, reads the UART
// clock rate from the EEPROM, creates the port devices and runs the card's interrupt thread.
#pragma once

#include <cstdint>

#include "adapter/adapter_base.h"
#include "hw/worker_thread.h"
#include "platform/kernel.h"
#include "support/device_key.h"

namespace zel {

class AdapterRegisters;

// Card variants by PCI subsystem ID.
struct CardModel {
    uint16_t subsystemId;
    uint8_t portCount;
    uint32_t windowLength;  // bytes of memory window 0: 512 per port
};
// The model of a listed subsystem ID, or null when the card is refused.
const CardModel* FindCardModel(uint32_t subsystemId);

constexpr uint32_t kPortWindowStride = 512;      // UART of port n at 512 x (n - 1)
constexpr uint32_t kRegisterBlockOffset = 0x80;  // global registers in the window
constexpr uint32_t kRegisterBlockLength = 20;    // 0x80 .. 0x93
constexpr uint32_t kDefaultInterruptPriority = 159;
constexpr uint32_t kNoSysIntr = 0xFFFFFFFFu;
constexpr uint32_t kThreadStopWaitMs = 1000;
// Pass-marker values written around each interrupt service pass.
constexpr uint8_t kPassMarkerBusy = 255;
constexpr uint8_t kPassMarkerIdle = 254;

class PciAdapter : public AdapterBase, public WorkerThread {
  public:
    // Both bases allocate through the platform; either pair serves.
    using AdapterBase::operator new;
    using AdapterBase::operator delete;

    explicit PciAdapter(const plat::WChar* activeKeyPath);
    ~PciAdapter() override;

    plat::Bool Init(const plat::WChar* activeKeyPath) override;
    plat::Bool CreatePortDevices() override;
    SerialPort* CreatePortObject(const plat::WChar* activeKeyPath, PortDevice* device) override;
    void MaskInterrupt(plat::Bool mask) override;
    void PostInit() override;

    // The interrupt thread: one status read and one service pass per signal of the event.
    uint32_t Run() override;

    plat::Bool MapAdapterRegisters(uint32_t windowLength);
    plat::Bool CreateAdapterRegisters();
    // Adds the driver's values of port index + 1 to list; false when "Dll" is missing or any
    // value was refused (the others are still added).
    plat::Bool FillPortValues(uint32_t index, RegistryValueList* list);

    uint32_t SysIntr() const { return sysIntr; }
    uint32_t ClockRate() const { return clockRate; }
    uint32_t ThreadPriority() const { return threadPriority; }
    uint32_t WindowBase() const { return windowBase; }
    plat::VirtAddr RegisterBase() const { return registerBase; }
    uint32_t RegisterLength() const { return registerLength; }
    const AdapterRegisters* Registers() const { return registers; }
    plat::Handle InterruptEvent() const { return interruptEvent; }
    plat::Handle InstallableHandler() const { return installableHandler; }

  protected:
    // Asks the interrupt thread to stop and makes sure it has ended before anything it uses
    // is released; nothing once it has ended. A derived class whose operations the thread
    // calls stops it in its own destructor, before those operations go away.
    void StopInterruptThread();

  private:
    DeviceKey deviceKey;
    uint32_t sysIntr = kNoSysIntr;
    plat::Handle interruptEvent = 0;
    plat::VirtAddr registerBase = 0;
    uint32_t registerLength = 0;
    uint32_t registerIsIo = 0;
    AdapterRegisters* registers = nullptr;
    uint32_t clockRate = 0;
    uint32_t threadPriority = kDefaultInterruptPriority;
    uint32_t windowBase = 0;
};

}  // namespace zel
