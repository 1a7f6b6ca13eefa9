#include "adapter/adapter_base.h"

#include "hw/serial_port.h"
#include "platform/bus.h"

namespace zel {

AdapterBase::AdapterBase(const plat::WChar* activeKeyPath) {
    plat::CsInit(&serviceLock, "AdapterBase::serviceLock");
    busHandle = plat::BusOpen(activeKeyPath);
}

AdapterBase::~AdapterBase() {
    if (Owner() != nullptr) Owner()->Unlink(this);
    // The ports are not destroyed, but they must not keep reaching this adapter: a later port
    // teardown or divisor write would use freed memory.
    plat::CsEnter(&serviceLock);
    while (portTable.Count() != 0) {
        auto* port = static_cast<SerialPort*>(portTable.At(0));
        portTable.Unlink(port);
        port->SetOwningAdapter(nullptr);
    }
    plat::AtomicStore(portMask, 0);
    plat::CsLeave(&serviceLock);
    if (busHandle != 0) plat::BusClose(busHandle);
    if (portProperties != nullptr) delete[] portProperties;
    plat::CsDelete(&serviceLock);
}

plat::Bool AdapterBase::Init(const plat::WChar* activeKeyPath) {
    plat::KeyHandle deviceKey = plat::OpenDeviceKey(activeKeyPath);
    if (deviceKey == 0) return 0;
    plat::Bool result = 0;
    RegistryValue* numPorts = nullptr;
    if (!properties.OpenKey(deviceKey, u"Properties") || !properties.ReadAll()) goto done;
    if (!properties.FindCopy(u"NumPorts", &numPorts)) goto done;
    {
        uint32_t count = 0;
        uint32_t size = sizeof(count);
        const bool ok = numPorts->GetType() == plat::kRegDword && numPorts->GetData(&count, &size);
        delete numPorts;
        if (!ok) goto done;
        portCount = count;
    }
    if (portCount != 0) {
        portProperties = new (std::nothrow) RegistryValueList[portCount];
        if (portProperties == nullptr) goto done;
    }
    result = 1;
    for (uint32_t n = 1; n <= portCount; ++n) {
        plat::WChar name[16];
        if (plat::WStrFormatN(name, 16, u"PortProp%d", static_cast<int>(n)) < 0) continue;
        if (portProperties[n - 1].OpenKey(deviceKey, name)) portProperties[n - 1].ReadAll();
    }
done:
    plat::RegCloseKey(deviceKey);
    return result;
}

plat::Bool AdapterBase::AddPort(SerialPort* port, uint32_t portNumber) {
    if (port == nullptr || portNumber < 1 || portNumber > portCount) return 0;
    plat::CsEnter(&serviceLock);
    const plat::Bool filed = portTable.Insert(port, portNumber);
    if (filed) {
        port->SetOwningAdapter(this);
        // Filed before the mask bit is set, so a lookup never finds a bit without its port.
        plat::AtomicOr(portMask, 1u << (portNumber - 1));
    }
    plat::CsLeave(&serviceLock);
    return filed;
}

SerialPort* AdapterBase::FindPort(uint32_t portNumber) {
    if (portNumber < 1 || portNumber > 32) return nullptr;
    if ((plat::AtomicLoad(portMask) & (1u << (portNumber - 1))) == 0) return nullptr;
    return static_cast<SerialPort*>(portTable.Find(portNumber));
}

plat::Bool AdapterBase::RemovePortNumber(uint32_t portNumber) {
    plat::CsEnter(&serviceLock);
    plat::Bool removed = 0;
    SerialPort* port = FindPort(portNumber);
    if (port != nullptr && portTable.RemoveKey(portNumber)) {
        port->SetOwningAdapter(nullptr);
        plat::AtomicAnd(portMask, ~(1u << (portNumber - 1)));
        removed = 1;
    }
    plat::CsLeave(&serviceLock);
    return removed;
}

plat::Bool AdapterBase::RemovePort(SerialPort* port) {
    if (port == nullptr) return 0;
    // A port filed in another adapter's table (or in none) is not ours to remove.
    if (port->Owner() != &portTable) return 0;
    return RemovePortNumber(port->Key());
}

void AdapterBase::ServicePort(uint32_t portNumber) {
    plat::CsEnter(&serviceLock);
    SerialPort* port = FindPort(portNumber);
    if (port != nullptr) port->ServiceInterrupt();
    plat::CsLeave(&serviceLock);
}

const RegistryValueList* AdapterBase::PortProperties(uint32_t portNumber) const {
    if (portProperties == nullptr || portNumber < 1 || portNumber > portCount) return nullptr;
    return &portProperties[portNumber - 1];
}

}  // namespace zel
