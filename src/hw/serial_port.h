// The abstract port hardware object: the contract between the stream layer, the concrete
// port (UartPort) and the adapter that owns the port, and the behaviour that does not depend
// on the UART.
#pragma once

#include <cstdint>

#include "platform/atomic.h"
#include "platform/bus.h"
#include "platform/kernel.h"
#include "platform/serial.h"
#include "support/device_key.h"
#include "support/keyed_list.h"

namespace zel {

struct PortDevice;
class AdapterBase;
class PortInterruptThread;

// Kinds of interrupt the hardware object reports to the stream layer; OR-ed together.
enum InterruptType : uint32_t {
    InterruptNone = 0x01,  // also the reset value, present in every collected word
    InterruptLine = 0x02,
    InterruptReceive = 0x04,
    InterruptTransmit = 0x08,
    InterruptModem = 0x10,
};

class SerialPort : public DeviceKey, public ListNode {
public:
    SerialPort(const plat::WChar* activeKeyPath, PortDevice* streamContext);
    ~SerialPort() override;

    // Virtual operations in the order of the table of operations.
    virtual plat::Bool Init();
    virtual plat::Bool PostInit();
    virtual plat::Bool Open();
    virtual plat::Bool Close();
    virtual plat::Bool PowerIoControl(uint32_t code, const void* in, uint32_t inLength, void* out,
                                      uint32_t outLength, uint32_t* actual);
    virtual plat::Bool ResetPowerState(uint32_t ignored);
    virtual plat::Bool PowerOff();
    virtual plat::Bool PowerOn();
    virtual plat::Bool SetDevicePowerState(uint32_t state);
    virtual void SaveHardwareState() = 0;
    virtual void RestoreHardwareState() = 0;
    virtual uint32_t GetDevicePowerState();
    virtual plat::PowerCapabilities* GetPowerCapabilities(plat::PowerCapabilities* caps);
    virtual plat::Bool InitInterrupts(plat::Bool enable);
    virtual plat::Bool NotifyInterrupt(uint32_t interruptBits);
    virtual uint32_t GetInterruptType();
    virtual plat::Bool NotifyEvents(uint32_t events, uint32_t modemStatus);
    virtual plat::Bool FilterReceivedChar(uint8_t* byte, plat::Bool parityError);
    virtual uint32_t ServiceInterrupt() = 0;
    virtual plat::Bool Purge(uint32_t flags);
    virtual plat::Bool InitTransmit(plat::Bool enable) = 0;
    virtual uint32_t TransmitData(const uint8_t* buffer, uint32_t* count) = 0;
    virtual uint32_t TransmitImmediate(uint8_t character) = 0;
    virtual plat::Bool EnableTransmitInterrupt(plat::Bool enable) = 0;
    virtual uint32_t ClearTransmit() = 0;
    virtual plat::Bool InitReceive(plat::Bool enable) = 0;
    virtual uint32_t ReceiveData(uint8_t* buffer, uint32_t* count) = 0;
    virtual uint32_t ClearReceive() = 0;
    virtual plat::Bool InitModem(plat::Bool enable) = 0;
    virtual uint32_t ServiceModemStatus() = 0;
    virtual uint32_t GetModemStatus() = 0;
    virtual uint32_t SetDTR(plat::Bool on) = 0;
    virtual uint32_t SetRTS(plat::Bool on) = 0;
    virtual plat::Bool IsCtsOff();
    virtual plat::Bool IsDsrOff();
    virtual plat::Bool InitLineStatus(plat::Bool enable) = 0;
    virtual uint32_t ServiceLineStatus() = 0;
    virtual void SetBreak(plat::Bool on) = 0;
    virtual plat::Bool SetBaudRate(uint32_t baudRate, plat::Bool infrared) = 0;
    virtual plat::Bool SetByteSize(uint32_t byteSize) = 0;
    virtual plat::Bool SetParity(uint32_t parity) = 0;
    virtual plat::Bool SetStopBits(uint32_t stopBits) = 0;
    virtual plat::Bool SetDCB(const plat::Dcb* dcb);
    virtual plat::Bool SetDefaultConfiguration();
    virtual plat::Bool ComputeDivisor(uint32_t clock, int32_t baudRate, uint16_t* divisor);
    virtual void SetIrMode(plat::Bool infrared, plat::Bool wired);
    virtual void GetIrMode(plat::Bool* infrared, plat::Bool* wired);
    virtual void NotifyLineErrors(uint32_t errors);
    virtual uint32_t GetLineErrors();

    // Read directly by the stream layer (IOCTL_SERIAL_GET_COMMSTATUS, GET_PROPERTIES).
    // AppliedFlags may be read without the lock; the other fields of AppliedDcb are stable
    // only under hardwareLock or on the thread that changes settings.
    const plat::Dcb& AppliedDcb() const { return appliedDcb; }
    uint32_t AppliedFlags() const { return plat::AtomicLoad(appliedDcb.flags); }
    const plat::CommProp& CommProperties() const { return commProp; }

    // The adapter's AddPort sets the owner, its port removal clears it.
    AdapterBase* OwningAdapter() const { return plat::AtomicLoadPtr(owningAdapter); }
    void SetOwningAdapter(AdapterBase* adapter) { plat::AtomicStorePtr(owningAdapter, adapter); }

    PortDevice* StreamContext() const { return streamContext; }

protected:
    PortDevice* streamContext = nullptr;
    plat::Handle busHandle = 0;
    uint32_t isOpen = 0;  // changed only by atomic exchange
    uint32_t powerState = plat::D0;
    uint32_t powerManaged = 0;
    plat::PowerCapabilities powerCaps{};
    uint32_t powerResumed = 0;  // plain stores on the power paths, consumed by atomic exchange
    PortInterruptThread* interruptThread = nullptr;
    uint32_t powerHandle = plat::kPowerHandleNone;
    uint32_t powerRequest = 0;
    plat::CriticalSection hardwareLock{};  // register sequences, SetDCB, lineErrors
    uint32_t pendingInterrupts = InterruptNone;  // guarded by interruptLock
    plat::CriticalSection interruptLock{};
    // Held around the stream layer's HandleInterrupt: NotifyInterrupt runs on the adapter's
    // interrupt thread and, after a resume, on the port's own thread, and two handlers at once
    // would both store received bytes at the same place in the ring. Taken before any lock
    // the handler takes.
    plat::CriticalSection handlerLock{};
    plat::Dcb appliedDcb{};
    plat::CommProp commProp{};
    uint32_t irEnabled = 0;
    uint32_t wiredSelected = 1;
    uint32_t lineErrors = 0;  // guarded by hardwareLock
    AdapterBase* owningAdapter = nullptr;
};

// Given to the power-management service: moves the port (the context) to a state.
uint32_t PowerCallback(void* context, uint32_t requestedState);

}  // namespace zel
