// A device's registry key, opened from the active key path given to its Init, with the
// platform's descriptions of the device (PCI identity, windows, interrupt).
#pragma once

#include "platform/kernel.h"
#include "platform/records.h"

namespace zel {

class DeviceKey {
public:
    explicit DeviceKey(const plat::WChar* activeKeyPath);
    DeviceKey(const DeviceKey&) = delete;
    DeviceKey& operator=(const DeviceKey&) = delete;
    ~DeviceKey();

    // Each returns 1 when the record pointer or the key is null, otherwise sets the record's
    // size field and returns the platform's result (0 = success).
    uint32_t ReadPciInfo(plat::PciInfo* info) const;
    uint32_t ReadWindowInfo(plat::WindowInfo* info) const;
    uint32_t ReadInterruptInfo(plat::InterruptInfo* info) const;
    // Queries a fixed-size value into buffer, whatever its type; true when the query succeeds.
    plat::Bool QueryValue(const plat::WChar* name, void* buffer, uint32_t length) const;

    plat::KeyHandle Handle() const { return handle; }

protected:
    plat::KeyHandle handle = 0;
};

}  // namespace zel
