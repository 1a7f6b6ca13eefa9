// The abstract adapter: the part of an adapter that depends neither on the bus nor on the
// UART. It reads the port count and each port's extra registry values from the adapter's
// device key, and keeps the port table that the interrupt thread serves.
#pragma once

#include <cstdint>

#include "platform/atomic.h"
#include "platform/kernel.h"
#include "support/keyed_list.h"
#include "support/registry.h"

namespace zel {

struct PortDevice;
class SerialPort;

class AdapterBase : public ListNode {
public:
    explicit AdapterBase(const plat::WChar* activeKeyPath);
    ~AdapterBase() override;

    // Virtual operations in the order of the table of operations.
    virtual plat::Bool Init(const plat::WChar* activeKeyPath);
    virtual plat::Bool AddPort(SerialPort* port, uint32_t portNumber);
    virtual SerialPort* FindPort(uint32_t portNumber);
    virtual plat::Bool RemovePort(SerialPort* port);
    virtual plat::Bool RemovePortNumber(uint32_t portNumber);
    virtual plat::Bool CreatePortDevices() = 0;
    virtual SerialPort* CreatePortObject(const plat::WChar* activeKeyPath,
                                         PortDevice* device) = 0;
    virtual void MaskInterrupt(plat::Bool mask) = 0;
    virtual void PostInit() = 0;

    // Runs the port's ServiceInterrupt while the port cannot be removed; a port whose removal
    // has returned is never serviced again. Used by the interrupt thread.
    void ServicePort(uint32_t portNumber);

    uint32_t PortCount() const { return portCount; }
    uint32_t PortMask() const { return plat::AtomicLoad(portMask); }
    const RegistryValueList& Properties() const { return properties; }
    // Property list of port n (1 .. PortCount), null outside that range.
    const RegistryValueList* PortProperties(uint32_t portNumber) const;

protected:
    plat::Handle busHandle = 0;
    RegistryValueList properties;
    RegistryValueList* portProperties = nullptr;  // portCount lists
    uint32_t portMask = 0;                        // bit n-1: port n is in portTable
    KeyedList portTable;
    uint32_t portCount = 0;
    plat::Handle installableHandler = 0;
    // Serialises port lookups of the interrupt thread against port removal. Taken around
    // each ServiceInterrupt and around the table changes; never held while waiting.
    plat::CriticalSection serviceLock{};
};

}  // namespace zel
