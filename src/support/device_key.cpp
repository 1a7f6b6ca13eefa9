#include "support/device_key.h"

namespace zel {

DeviceKey::DeviceKey(const plat::WChar* activeKeyPath) {
    if (activeKeyPath != nullptr) handle = plat::OpenDeviceKey(activeKeyPath);
}

DeviceKey::~DeviceKey() {
    if (handle != 0) plat::RegCloseKey(handle);
}

uint32_t DeviceKey::ReadPciInfo(plat::PciInfo* info) const {
    if (info == nullptr || handle == 0) return 1;
    info->size = sizeof(plat::PciInfo);
    return plat::ReadPciDescription(handle, info);
}

uint32_t DeviceKey::ReadWindowInfo(plat::WindowInfo* info) const {
    if (info == nullptr || handle == 0) return 1;
    info->size = sizeof(plat::WindowInfo);
    return plat::ReadWindowDescription(handle, info);
}

uint32_t DeviceKey::ReadInterruptInfo(plat::InterruptInfo* info) const {
    if (info == nullptr || handle == 0) return 1;
    info->size = sizeof(plat::InterruptInfo);
    return plat::ReadInterruptDescription(handle, info);
}

plat::Bool DeviceKey::QueryValue(const plat::WChar* name, void* buffer, uint32_t length) const {
    // A null buffer would make the platform answer a size query, not read the value.
    if (handle == 0 || buffer == nullptr) return 0;
    uint32_t size = length;
    return plat::RegQueryValue(handle, name, nullptr, nullptr, static_cast<uint8_t*>(buffer),
                               &size) == plat::kSuccess;
}

}  // namespace zel
